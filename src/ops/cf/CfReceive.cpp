// The common receive step runs one category as a small machine:
//
//   1 range request ">E<first>,<last>" ─► 2 answer ─┬─ "..E0"           ─► 5 category done
//                                         ▲         ├─ "..E<error>"     ─► 97 (error set)
//                                         │         ├─ header, size 0   ─► 4
//                                         │         └─ header, size > 0 ─► ACK ─► 3
//                                         │   3 block: 5 digits L, L bytes, checksum of them;
//                                         │     ACK for the next block until the file is in
//                                         └── 4 next request ">EN"
//
//  98: a frame could not be written (4000); 99: the user aborted (4001). Every ending puts
//  the machine back on 1 and discards a PC file that was not complete.
#include "ops/cf/CfReceive.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "config/StringTable.h"
#include "diag/Trace.h"
#include "ops/cf/CfFolders.h"
#include "platform/Format.h"

namespace kz {

namespace {

// Sub-steps of the receive machine (drawn at the top of this file).
constexpr int kRangeRequest = 1;
constexpr int kAnswer = 2;
constexpr int kBlocks = 3;
constexpr int kNextRequest = 4;
constexpr int kCategoryDone = 5;

using Step = StepFn<CCfReceive>;

constexpr StepTableBuilder<CCfReceive, kCfStepCount> MakeSteps() {
    StepTableBuilder<CCfReceive, kCfStepCount> table;
    table.Put<&CCfReceive::CheckPcFoldersStep>(kCfFolderCheckStep);
    table.Put<&CCfReceive::Initialize>(kCfInitializeStep);
    table.Put<&CCfReceive::Handshaking>(kCfHandshakingStep);
    table.Put<&CCfReceive::ChangeSIO>(kCfChangeSioStep);
    for (std::size_t i = 0; i < kCfCategoryCount; ++i) {
        table.Put<&CCfReceive::CategoryReceive>(CfCategoryStep(i));
        table.Put<&CCfReceive::CFReceive>(CfCommonStep(i));
    }
    table.Put<&CCfReceive::ImageReceive>(kCfFirstCategoryStep);
    table.Put<&CCfReceive::Quit>(kCfQuitStep);
    table.Put<&CCfReceive::Terminate>(kCfTerminateStep);
    table.Put<&CCfReceive::EndMarker>(kCfEndMarkerStep);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, kCfStepCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::CfReceive,
                            {kSteps.size(), kCfHandshakingStep, kCfQuitStep, kCfQuitStep,
                             kCfTerminateStep}));

// Seventeen categories and the terminate step move the progress bar.
constexpr int kProgressSteps = 18;

// A file header: two characters, the stem, the size as ten decimal digits.
constexpr std::size_t kHeaderStemAt = 2;
constexpr std::size_t kHeaderSizeAt = kHeaderStemAt + kCfStemLength;
constexpr std::size_t kHeaderSizeDigits = 10;
constexpr std::size_t kBlockLengthDigits = 5;

std::string NextRequestFrame() {
    return LoaderFrame('>', "EN");
}

// n decimal digits at text; -1 when any character is not a digit.
std::int64_t Decimal(const std::uint8_t* text, std::size_t n) {
    std::int64_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

CCfReceive::CCfReceive() = default;

CCfReceive::~CCfReceive() {
    Shutdown();
}

bool CCfReceive::Diapatcher(int nEvent) {
    return RunSteps<CCfReceive>(*this, kSteps, OperationKind::CfReceive, m_nPhase, m_nError, nEvent,
                                [this](int phase, int event) {
                                    TraceMessage("M",
                                                 "m_nPhase = [%d]  nEvent = [%d] m_nError = [%d]\n",
                                                 phase, event, m_nError);
                                });
}

bool CCfReceive::EndMarker(int) {
    return false;
}

bool CCfReceive::CheckPcFoldersStep(int) {
    const int error = CheckPcFolders(m_csFolder, Prompt());
    if (error != 0) {
        m_nError = error;
    }
    return true;
}

bool CCfReceive::Initialize(int) {
    TraceMessage("KZmntTimeCheck", "CCfReceive::Initialize %x\n", TickCount());
    ClearStatusList();
    ResetProgress();
    AddStatusLine(msg::kCfReceiveStart);
    ShowPowerWarning(true);
    // The card's files are learnt one by one: the bytes have no total.
    BeginTransfer(0);
    if (Open()) {
        m_nProgressTotal = kProgressSteps;
        m_nProgressCount = 0;
        m_bAbort = false;
    }
    return true;
}

bool CCfReceive::ImageReceive(int nEvent) {
    TraceMessage("KZmntTimeCheck", "CCfReceive::ImageReceive %x\n", TickCount());
    return SetUpCategory(nEvent);
}

bool CCfReceive::CategoryReceive(int nEvent) {
    return SetUpCategory(nEvent);
}

bool CCfReceive::SetUpCategory(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        return false;
    }
    // An abort that arrived while the link was being set up ends the run here.
    if (m_bAbort) {
        m_nError = msg::kAborted;
        return true;
    }
    ++m_nProgressCount;
    if (m_nProgressTotal > 0) {
        SetProgress(m_nProgressCount * 100 / m_nProgressTotal);
    }
    const CfCategory& category = CategoryAt(m_nPhase);
    m_csStartNo = CfFirstStem(category);
    m_csEndNo = CfLastStem(category);
    m_csCategoryFolder = CfCategoryFolder(m_csFolder, category);
    m_csExtension = std::string(category.extension);
    AddStatusLine(category.receiveCaption);
    ShowPowerWarning(true);
    return true;
}

bool CCfReceive::CFReceive(int nEvent) {
    for (;;) {
        TraceMessage("M", "  CFReceive nPhase = [%d]  nEvent = [%d] m_nError = [%d]\n", m_nPhase,
                     nEvent, m_nError);
        bool next = false;
        switch (m_nSubStep) {
            case kCategoryDone:
                m_nSubStep = kRangeRequest;
                return true;
            case kCfSubStepError:
                m_nSubStep = kRangeRequest;
                m_pcFile.Discard();
                Disarm();
                return true;
            case kCfSubStepWriteFailed:
                m_nSubStep = kRangeRequest;
                m_pcFile.Discard();
                Disarm();
                m_nError = msg::kCheckPower;
                return true;
            case kCfSubStepAborted:
                TraceMessage("KZmnt", "CF Receive CANCEL\n");
                m_nSubStep = kRangeRequest;
                m_pcFile.Discard();
                m_nError = msg::kAborted;
                return true;
            case kRangeRequest:
                next = RangeRequest(nEvent);
                break;
            case kAnswer:
                next = WaitAnswer(nEvent);
                break;
            case kBlocks:
                next = ReceiveBlocks(nEvent);
                break;
            case kNextRequest:
                next = NextRequest();
                break;
            default:
                next = Fail(msg::kCheckPower);
                break;
        }
        if (!next) {
            return m_nError != 0;
        }
    }
}

bool CCfReceive::Fail(int error) {
    Purge(kPurgeAll);
    ResetAssembler();
    m_nError = error;
    m_nSubStep = kCfSubStepError;
    return true;
}

bool CCfReceive::RangeRequest(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        m_nSubStep = kCfSubStepAborted;
        return true;
    }
    m_bWriteFailed = false;
    const std::string frame = LoaderFrame('>', "E" + m_csStartNo + "," + m_csEndNo);
    TraceMessage("KZmnt", "m_csStartNo = [%s] m_csEndNo = [%s]\n", m_csStartNo.c_str(),
                 m_csEndNo.c_str());
    Arm(m_nReadTimeout);
    m_nSubStep = kAnswer;
    m_nRecvPos = 0;
    ResetAssembler();
    if (!WriteBytes(frame)) {
        m_nSubStep = kCfSubStepWriteFailed;
        return true;
    }
    m_bAbort = false;
    return false;
}

bool CCfReceive::WaitAnswer(int nEvent) {
    if (m_bWriteFailed) {
        // The file whose blocks could not be stored is in; tell the panel to go on, then end
        // the run.
        WriteBytes(NextRequestFrame());
        m_nError = msg::kFileWrite;
        m_nSubStep = kCfSubStepError;
        Purge(kPurgeAll);
        return true;
    }
    switch (nEvent) {
        case EVENT_RECEIVED:
            if (!ReadAnswer(kLoaderGated)) {
                return false;
            }
            return HandleAnswer();
        case EVENT_TIMEOUT:
            Purge(kPurgeAll);
            ResetAssembler();
            if (m_bAbort) {
                WriteBytes(std::string(1, static_cast<char>(NAK)));
                m_bAbort = false;
                m_nSubStep = kCfSubStepAborted;
            } else {
                TraceMessage("KZmnt", "CCfReceive::CFReceive_Phase2 Timeout\n");
                m_nSubStep = kCfSubStepWriteFailed;
            }
            return true;
        case EVENT_ABORT:
            // Takes effect with the next complete answer or the time-out.
            m_bAbort = true;
            return false;
        default:
            return false;
    }
}

bool CCfReceive::HandleAnswer() {
    if (m_bAbort) {
        TraceMessage("KZmnt", "CCfReceive::CFReceive_Phase2 receive complete cancel\n");
        WriteBytes(std::string(1, static_cast<char>(NAK)));
        m_bAbort = false;
        m_nSubStep = kCfSubStepAborted;
        return true;
    }
    const std::string_view answer = Answer();
    if (IsCfResultAnswer(answer)) {
        const int error = CfResultError(answer[3]);
        if (error == 0) {
            m_nSubStep = kCategoryDone;
            return true;
        }
        if (error == msg::kCheckPower) {
            TraceMessage("KZmnt", "CCfReceive::CFReceive_Phase2 Error = [%X]\n",
                         static_cast<unsigned>(static_cast<unsigned char>(answer[3])));
        }
        m_nError = error;
        m_nSubStep = kCfSubStepError;
        return true;
    }
    if (!GetFileNoAndFileSize()) {
        return true;
    }
    BeginPcFile();
    SetTransferArea(std::string(CategoryAt(m_nPhase).subfolder) + "/" + m_csFileNo + m_csExtension);
    m_nRecvPos = 0;
    if (m_nFileSize > 0) {
        // The first block is due now: its wait starts with the request for it.
        Arm(m_nReadTimeout);
        WriteBytes(std::string(1, static_cast<char>(ACK)));
        m_nSubStep = kBlocks;
        return false;
    }
    // An empty file is complete at once; the next request goes out with the next event.
    CommitPcFile();
    m_nSubStep = kNextRequest;
    return false;
}

bool CCfReceive::GetFileNoAndFileSize() {
    const std::string_view answer = Answer();
    if (answer.size() < kHeaderSizeAt + kHeaderSizeDigits) {
        TraceMessage("KZmnt", "GetFileNoAndFileSize short header [%d]\n",
                     static_cast<int>(answer.size()));
        Fail(msg::kCfInvalidData);
        return false;
    }
    const std::string stem(answer.substr(kHeaderStemAt, kCfStemLength));
    const std::int64_t size = Decimal(m_pchRecvBuff.get() + kHeaderSizeAt, kHeaderSizeDigits);
    TraceMessage("KZmnt", "GetFileNoAndFileSize = [%s , %lld]\n", stem.c_str(),
                 static_cast<long long>(size));
    // The stem names a file in the category folder; anything but the category's own kind
    // of name could lead outside it.
    if (!IsCfStemOf(CategoryAt(m_nPhase), stem)) {
        Fail(msg::kCfInvalidName);
        return false;
    }
    if (size < 0 || size > INT32_MAX) {
        Fail(msg::kCfInvalidData);
        return false;
    }
    m_csFileNo = stem;
    m_nFileSize = static_cast<int>(size);
    m_nBlockLength = std::min(m_nFileSize, kCfBlockSize);
    m_nRecvTotal = 0;
    return true;
}

bool CCfReceive::ReceiveBlocks(int nEvent) {
    switch (nEvent) {
        case EVENT_RECEIVED:
            break;
        case EVENT_TIMEOUT:
            TraceMessage("CCfreceive", "Timeout !!\n");
            Purge(kPurgeAll);
            if (m_bAbort) {
                m_bAbort = false;
                m_nSubStep = kCfSubStepAborted;
            } else {
                m_nSubStep = kCfSubStepWriteFailed;
            }
            return true;
        case EVENT_ABORT:
            TraceMessage("KZmnt", "CCfReceive::CFReceive_Phase3 cancel\n");
            AddStatusLine(msg::kDiscontinuation);
            AddStatusLine(msg::kPleaseWait);
            m_bAbort = true;
            return false;
        default:
            return false;
    }
    if (!m_pchRecvBuff) {
        return false;
    }
    for (;;) {
        // Each read asks only for what is missing from the current block, so the block
        // (at most 65280 + 7 bytes) never passes the end of the buffer.
        const int missing = m_nBlockLength + kCfBlockFraming - static_cast<int>(m_nRecvPos);
        if (missing <= 0) {
            return false;  // an aborted block is complete; the time-out ends the run
        }
        const std::uint32_t n =
            ReadInput(m_pchRecvBuff.get() + m_nRecvPos, static_cast<std::uint32_t>(missing));
        if (n == 0) {
            return false;
        }
        m_nRecvPos += n;
        Arm(m_nReadTimeout);
        // Every block but the last carries 65280 bytes and the last one the rest of the
        // announced size; a block of another length would make the PC file another size
        // than the card's.
        if (m_nRecvPos >= kBlockLengthDigits &&
            Decimal(m_pchRecvBuff.get(), kBlockLengthDigits) != m_nBlockLength) {
            TraceMessage("KZmnt", "CCfReceive::CFReceive_Phase3 block length [%.5s] not %d\n",
                         reinterpret_cast<const char*>(m_pchRecvBuff.get()), m_nBlockLength);
            return Fail(msg::kCfInvalidData);
        }
        if (static_cast<int>(m_nRecvPos) < m_nBlockLength + kCfBlockFraming) {
            continue;
        }
        // A complete block.
        if (m_bAbort) {
            WriteBytes(NextRequestFrame());
            return false;
        }
        // The panel has no way to send a block again: a damaged one ends the run.
        const std::uint8_t* data = m_pchRecvBuff.get() + kBlockLengthDigits;
        char expected[2];
        Checksum(data, static_cast<std::size_t>(m_nBlockLength), expected);
        if (std::memcmp(expected, data + m_nBlockLength, sizeof expected) != 0) {
            TraceMessage("KZmnt", "CCfReceive::CFReceive_Phase3 checksum [%.2s] not [%.2s]\n",
                         reinterpret_cast<const char*>(data + m_nBlockLength), expected);
            return Fail(msg::kCfInvalidData);
        }
        if (!AppendBlock(m_nBlockLength)) {
            m_bWriteFailed = true;
        }
        TraceMessage("KZmnt", "m_nFileSize = [%d] m_nRecvTotal = [%lld]\n", m_nFileSize,
                     static_cast<long long>(m_nRecvTotal));
        if (m_nRecvTotal >= m_nFileSize) {
            CommitPcFile();
            m_nSubStep = kNextRequest;
            return true;
        }
        m_nBlockLength =
            static_cast<int>(std::min<std::int64_t>(m_nFileSize - m_nRecvTotal, kCfBlockSize));
        WriteBytes(std::string(1, static_cast<char>(ACK)));
        m_nRecvPos = 0;
    }
}

void CCfReceive::BeginPcFile() {
    const CfPartialFile::Status status =
        m_pcFile.Begin(m_csCategoryFolder, m_csFileNo + m_csExtension);
    if (status != CfPartialFile::Status::Ok) {
        PcFileFailed(status);
    }
}

bool CCfReceive::AppendBlock(int length) {
    m_nRecvTotal += length;
    TransferMoved(static_cast<std::uint64_t>(length));
    // Once a block of the file is lost the file is not stored; the rest of it is still
    // taken from the card.
    if (m_bWriteFailed) {
        return true;
    }
    return m_pcFile.Append(m_pchRecvBuff.get() + kBlockLengthDigits,
                           static_cast<std::size_t>(length));
}

void CCfReceive::CommitPcFile() {
    if (m_bWriteFailed) {
        m_pcFile.Discard();
        return;
    }
    const CfPartialFile::Status status = m_pcFile.Commit(static_cast<std::uint64_t>(m_nFileSize));
    if (status != CfPartialFile::Status::Ok) {
        PcFileFailed(status);
    }
}

void CCfReceive::PcFileFailed(CfPartialFile::Status status) {
    m_pcFile.Discard();
    m_bWriteFailed = true;
    if (status == CfPartialFile::Status::NotPlain) {
        const std::string name =
            std::string(CategoryAt(m_nPhase).subfolder) + "/" + m_csFileNo + m_csExtension;
        AddStatusLine(Format(GetString(msg::kCfNotPlainTarget).c_str(), name.c_str()));
    }
}

bool CCfReceive::NextRequest() {
    Arm(m_nReadTimeout);
    m_nSubStep = kAnswer;
    m_nRecvPos = 0;
    ResetAssembler();
    if (!WriteBytes(NextRequestFrame())) {
        m_nSubStep = kCfSubStepWriteFailed;
        return true;
    }
    return false;
}

void CCfReceive::OnTerminate() {
    if (m_nProgressTotal > 0) {
        ++m_nProgressCount;
        SetProgress(m_nProgressCount * 100 / m_nProgressTotal);
    }
    m_pcFile.Discard();
}

}  // namespace kz
