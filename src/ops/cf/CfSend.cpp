// The category step takes the next file of its list; the common send step sends it:
//
//   1 announce "<E<stem><size>" ─► 2 answer ─┬─ "..E0"       ─► 7 file done
//                                   ▲        ├─ "..E<error>" ─► 97 (error set)
//                                   │        └─ ACK SUB      ─► 3 block header "%05d" + cs
//                                   │   4 ACK SUB ─► 5 read the block, append its checksum
//                                   │   51 pump the block in 4096-byte pieces
//                                   └── full block (65280 bytes): 2;  last: 6 final answer ─► 7
//
//  7 sends the walk back to the category step for the next file; the category step goes on
//  to the next category's step when its list is done. After the last category: Quit.
//  98: a frame could not be written or the panel fell silent (4000); 99: the user aborted
//  (4001). Every ending puts the machine back on 1.
#include "ops/cf/CfSend.h"

#include <algorithm>
#include <limits>
#include <map>
#include <new>

#include "config/StringTable.h"
#include "diag/Trace.h"
#include "ops/cf/CfFolders.h"
#include "ops/cf/CfPcFile.h"
#include "platform/Format.h"

namespace kz {

namespace {

// Sub-steps of the send machine (drawn at the top of this file).
constexpr int kAnnounce = 1;
constexpr int kGoAhead = 2;
constexpr int kBlockHeader = 3;
constexpr int kHeaderAck = 4;
constexpr int kBlockData = 5;
constexpr int kPump = 51;
constexpr int kFinalAnswer = 6;
constexpr int kFileDone = 7;

using Step = StepFn<CCfSend>;

constexpr StepTableBuilder<CCfSend, kCfStepCount> MakeSteps() {
    StepTableBuilder<CCfSend, kCfStepCount> table;
    table.Put<&CCfSend::NoOp>(kCfFolderCheckStep);
    table.Put<&CCfSend::Initialize>(kCfInitializeStep);
    table.Put<&CCfSend::Handshaking>(kCfHandshakingStep);
    table.Put<&CCfSend::ChangeSIO>(kCfChangeSioStep);
    for (std::size_t i = 0; i < kCfCategoryCount; ++i) {
        table.Put<&CCfSend::CategorySend>(CfCategoryStep(i));
        table.Put<&CCfSend::CFSend>(CfCommonStep(i));
    }
    table.Put<&CCfSend::Quit>(kCfQuitStep);
    table.Put<&CCfSend::Terminate>(kCfTerminateStep);
    table.Put<&CCfSend::EndMarker>(kCfEndMarkerStep);
    return table;
}

static_assert(MakeSteps().Complete());
constexpr std::array<Step, kCfStepCount> kSteps = MakeSteps().steps;
static_assert(TableFitsRule(OperationKind::CfSend, {kSteps.size(), kCfChangeSioStep, kCfQuitStep,
                                                    kCfQuitStep, kCfTerminateStep}));

// The block buffer holds a full block and its two checksum characters.
constexpr std::size_t kBlockBufferSize = 65536;
constexpr int kAnswerPiece = 512;

// Category states.
constexpr int kCategoryIdle = 1;
constexpr int kCategorySending = 2;

// The size of a PC file as the announcement carries it; -1 when it cannot be read, is no
// longer a plain file or does not fit.
int FileSizeOf(const std::string& path) {
    const std::int64_t size = PlainFileSize(path);
    if (size < 0 || size > std::numeric_limits<int>::max()) {
        return -1;
    }
    return static_cast<int>(size);
}

// A PC name as the status list shows it: bytes outside printable ASCII become '?'.
std::string Shown(std::string_view subfolder, std::string_view name) {
    std::string shown = std::string(subfolder) + "/";
    for (char c : name) {
        shown += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return shown;
}

}  // namespace

CCfSend::CCfSend() {
    m_nCategoryState.fill(kCategoryIdle);
}

CCfSend::~CCfSend() {
    Shutdown();
}

bool CCfSend::Diapatcher(int nEvent) {
    return RunSteps<CCfSend>(*this, kSteps, OperationKind::CfSend, m_nPhase, m_nError, nEvent);
}

bool CCfSend::NoOp(int) {
    return true;
}

bool CCfSend::EndMarker(int) {
    return false;
}

bool CCfSend::Initialize(int) {
    ClearStatusList();
    ResetProgress();
    AddStatusLine(msg::kCfSendStart);
    ShowPowerWarning(true);
    if (!ConfirmCardOverwrite(Prompt())) {
        m_nError = msg::kAborted;
        return true;
    }
    m_nProgressTotal = 0;
    m_nProgressCount = 0;
    if (!SelectFiles()) {
        m_nError = msg::kCfDuplicateNames;
        return true;
    }
    // Keeps the progress arithmetic away from a division by zero.
    if (m_nProgressTotal < 1) {
        m_nProgressTotal = 1;
    }
    std::uint64_t bytes = 0;
    for (const auto& list : m_lists) {
        for (const std::string& path : list) {
            bytes += static_cast<std::uint64_t>(std::max(FileSizeOf(path), 0));
        }
    }
    BeginTransfer(bytes);
    m_bAbort = false;
    // A port that did not open shows up in Handshaking.
    Open();
    return true;
}

bool CCfSend::SelectFiles() {
    // Card name -> the PC file that goes there, as shown.
    std::map<std::string, std::string> cardNames;
    std::vector<std::string_view> linkedFolders;
    bool clash = false;
    for (std::size_t i = 0; i < kCfCategoryCount; ++i) {
        const CfCategory& category = kCfCategories[i];
        m_lists[i].clear();
        // A subfolder that is a link may lead anywhere: none of its files is read.
        if (IsSymbolicLink(CfCategoryFolder(m_csFolder, category))) {
            if (std::find(linkedFolders.begin(), linkedFolders.end(), category.subfolder) ==
                linkedFolders.end()) {
                linkedFolders.push_back(category.subfolder);
                AddStatusLine(Format(GetString(msg::kCfSymbolicLink).c_str(),
                                     std::string(category.subfolder).c_str()));
            }
            continue;
        }
        std::vector<std::string> found;
        CollectCategoryFiles(m_csFolder, category, found);
        for (const std::string& path : found) {
            const std::string name = path.substr(path.rfind('/') + 1);
            const std::string shown = Shown(category.subfolder, name);
            if (!IsCfFileNameOf(category, name)) {
                AddStatusLine(Format(GetString(msg::kCfNotCardName).c_str(), shown.c_str()));
                continue;
            }
            if (IsSymbolicLink(path)) {
                AddStatusLine(Format(GetString(msg::kCfSymbolicLink).c_str(), shown.c_str()));
                continue;
            }
            // Two PC names of one card name would overwrite each other on the card.
            const auto [it, added] = cardNames.emplace(CfStemOfPath(path), shown);
            if (!added) {
                AddStatusLine(Format(GetString(msg::kCfSameCardName).c_str(), it->second.c_str(),
                                     shown.c_str()));
                clash = true;
                continue;
            }
            m_lists[i].push_back(path);
            ++m_nProgressTotal;
        }
    }
    return !clash;
}

bool CCfSend::CategorySend(int nEvent) {
    const std::size_t index = static_cast<std::size_t>(CategoryIndexAt(m_nPhase));
    std::deque<std::string>& list = m_lists[index];
    int& state = m_nCategoryState[index];
    if (state == kCategoryIdle) {
        if (nEvent == EVENT_ABORT) {
            return false;
        }
        if (m_bAbort) {
            m_nError = msg::kAborted;
            return true;
        }
        if (list.empty()) {
            GoTo(CfCategoryStep(index + 1));  // past the common send step to the next category
            return true;
        }
        AddStatusLine(kCfCategories[index].sendCaption);
        ShowPowerWarning(true);
        state = kCategorySending;
        m_bAbort = false;
    }
    if (m_bAbort) {
        m_nError = msg::kAborted;
        state = kCategoryIdle;
        GoTo(CfCategoryStep(index + 1));
        return true;
    }
    if (list.empty()) {
        state = kCategoryIdle;
        GoTo(CfCategoryStep(index + 1));
        return true;
    }
    m_csFilePath = list.front();
    list.pop_front();
    m_csFileNo = CfStemOfPath(m_csFilePath);
    const int size = FileSizeOf(m_csFilePath);
    if (size < 0) {
        // Deleted, replaced or grown past what an announcement can carry since it was
        // collected: the announcement must not carry a size that is not the file's.
        TraceMessage("KZmnt", "CCfSend size of [%s] unreadable\n", m_csFilePath.c_str());
        m_nError = msg::kIloaderRead;
        state = kCategoryIdle;
        GoTo(CfCategoryStep(index + 1));
        return true;
    }
    m_nFileSize = size;
    SetTransferArea(Shown(kCfCategories[index].subfolder,
                          std::string_view(m_csFilePath).substr(m_csFilePath.rfind('/') + 1)));
    ++m_nProgressCount;
    SetProgress(m_nProgressCount * 100 / m_nProgressTotal);
    return true;
}

bool CCfSend::CFSend(int nEvent) {
    for (;;) {
        bool next = false;
        switch (m_nSubStep) {
            case kFileDone:
                m_nSubStep = kAnnounce;
                // The category step takes the next file.
                GoTo(CfCategoryStep(static_cast<std::size_t>(CategoryIndexAt(m_nPhase))));
                return true;
            case kCfSubStepError:
                m_nSubStep = kAnnounce;
                Disarm();
                return true;
            case kCfSubStepWriteFailed:
                m_nSubStep = kAnnounce;
                Disarm();
                m_nError = msg::kCheckPower;
                return true;
            case kCfSubStepAborted:
                m_nSubStep = kAnnounce;
                m_nError = msg::kAborted;
                return true;
            case kAnnounce:
                next = Announce(nEvent);
                break;
            case kGoAhead:
                next = WaitGoAhead(nEvent);
                break;
            case kBlockHeader:
                next = BlockHeader(nEvent);
                break;
            case kHeaderAck:
                next = WaitHeaderAck(nEvent);
                break;
            case kBlockData:
                next = BlockData();
                break;
            case kPump:
                next = PumpBlock(nEvent);
                break;
            case kFinalAnswer:
                next = WaitFinalAnswer(nEvent);
                break;
            default:
                m_nSubStep = kCfSubStepWriteFailed;
                next = true;
                break;
        }
        if (!next) {
            return m_nError != 0;
        }
    }
}

bool CCfSend::Announce(int nEvent) {
    if (nEvent == EVENT_ABORT) {
        m_nSubStep = kCfSubStepAborted;
        return true;
    }
    const std::string frame = LoaderFrame('<', "E" + m_csFileNo + Format("%010d", m_nFileSize));
    Arm(m_nReadTimeout);
    m_nSubStep = kGoAhead;
    m_nRecvPos = 0;
    m_bEndSeen = false;
    m_nSendSize = 0;
    m_nBlockSize = 0;
    if (!WriteBytes(frame)) {
        m_nSubStep = kCfSubStepWriteFailed;
        return true;
    }
    TraceMessage("KZmnt", "m_csFileNo = [%s] m_nFileSize = [%d]\n", m_csFileNo.c_str(),
                 m_nFileSize);
    return false;
}

bool CCfSend::ReadGoAheadOrResult() {
    if (!m_pchRecvBuff) {
        return false;
    }
    std::uint8_t piece[kAnswerPiece];
    for (;;) {
        const std::uint32_t n = ReadInput(piece, sizeof(piece));
        if (n == 0) {
            return false;
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint8_t byte = piece[i];
            if (m_bEndSeen) {
                m_bEndSeen = false;
                if (byte == SUB) {
                    KeepRest(piece, i + 1, n);
                    return true;
                }
                StoreByte(byte);
            } else if (byte == ACK || byte == CR) {
                m_bEndSeen = true;
            } else if (byte == DLE) {
                m_nRecvPos = 0;
            } else {
                StoreByte(byte);
            }
        }
    }
}

bool CCfSend::WaitGoAhead(int nEvent) {
    switch (nEvent) {
        case EVENT_RECEIVED:
            if (!ReadGoAheadOrResult()) {
                return false;
            }
            return HandleGoAheadOrResult();
        case EVENT_TIMEOUT:
            Purge(kPurgeAll);
            m_bEndSeen = false;
            if (m_bAbort) {
                m_bAbort = false;
                m_nSubStep = kCfSubStepAborted;
            } else {
                m_nSubStep = kCfSubStepWriteFailed;
            }
            return true;
        case EVENT_ABORT:
            Purge(kPurgeAll);
            m_nSubStep = kCfSubStepAborted;
            m_bEndSeen = false;
            return true;
        default:
            return false;
    }
}

bool CCfSend::HandleGoAheadOrResult() {
    const std::string_view answer = Answer();
    if (IsCfResultAnswer(answer)) {
        const int error = CfResultError(answer[3]);
        if (error == 0) {
            m_nSubStep = kFileDone;  // the panel needs nothing more of this file
            return true;
        }
        if (error == msg::kCheckPower) {
            // The trace text names CCfReceive on purpose: trace readers filter on it as it is.
            TraceMessage("KZmnt", "CCfReceive::CFSend_Phase2 Error = [%X]\n",
                         static_cast<unsigned>(static_cast<unsigned char>(answer[3])));
        }
        m_nError = error;
        m_nSubStep = kCfSubStepError;
        return true;
    }
    m_nSendSize += static_cast<std::uint32_t>(m_nBlockSize);
    TransferMoved(static_cast<std::uint64_t>(m_nBlockSize));
    m_nSubStep = kBlockHeader;
    return true;
}

bool CCfSend::BlockHeader(int nEvent) {
    TraceMessage("KZmnt", "  m_nSendSize = [%d]\n", static_cast<int>(m_nSendSize));
    if (nEvent == EVENT_ABORT) {
        m_nSubStep = kCfSubStepAborted;
        return true;
    }
    m_nBlockSize = std::min(m_nFileSize - static_cast<int>(m_nSendSize), kCfBlockSize);
    const std::string digits = Format("%05d", m_nBlockSize);
    const std::string header = digits + ChecksumText(digits);
    Arm(m_nReadTimeout);
    m_nRecvPos = 0;
    ResetAssembler();
    m_nSubStep = kHeaderAck;
    if (!WriteBytes(header)) {
        m_nSubStep = kCfSubStepWriteFailed;
        return true;
    }
    return false;
}

bool CCfSend::WaitHeaderAck(int nEvent) {
    switch (nEvent) {
        case EVENT_RECEIVED:
            if (!ReadTwoByte(ACK)) {
                return false;
            }
            m_nRecvPos = 0;
            m_nSubStep = kBlockData;
            return true;
        case EVENT_TIMEOUT:
            Purge(kPurgeAll);
            ResetAssembler();
            if (m_bAbort) {
                m_bAbort = false;
                m_nSubStep = kCfSubStepAborted;
            } else {
                m_nSubStep = kCfSubStepWriteFailed;
            }
            return true;
        case EVENT_ABORT:
            Purge(kPurgeAll);
            m_nSubStep = kCfSubStepAborted;
            ResetAssembler();
            return true;
        default:
            return false;
    }
}

bool CCfSend::BlockData() {
    m_pchBlock.reset(new (std::nothrow) std::uint8_t[kBlockBufferSize]);
    const bool ok =
        m_pchBlock != nullptr && ReadPlainFile(m_csFilePath, m_nSendSize, m_pchBlock.get(),
                                               static_cast<std::size_t>(m_nBlockSize));
    if (!ok) {
        FreeBlock();
        m_nError = msg::kIloaderRead;
        m_nSubStep = kAnnounce;
        return false;
    }
    Checksum(m_pchBlock.get(), static_cast<std::size_t>(m_nBlockSize),
             reinterpret_cast<char*>(m_pchBlock.get() + m_nBlockSize));
    m_nBytesInBlock = m_nBlockSize + 2;
    m_nSubStep = kPump;
    m_nRecvPos = 0;
    Disarm();
    m_nBytesRemaining = m_nBytesInBlock;
    WritePiece();
    Arm(m_nReadTimeout);
    TraceMessage("KZmnt", "  m_nBlockSize = [%d] nPhase = [%d]\n", m_nBlockSize, 51);
    return false;
}

void CCfSend::WritePiece() {
    const int offset = m_nBytesInBlock - m_nBytesRemaining;
    const int piece = std::min(static_cast<int>(kSendPiece), m_nBytesRemaining);
    // A piece the port refuses leaves the queue empty and the panel silent: the time-out
    // that follows ends the run.
    Write(m_pchBlock.get() + offset, static_cast<std::uint32_t>(piece));
    m_nLastPiece = piece;
    m_nBytesRemaining -= piece;
}

void CCfSend::FreeBlock() {
    m_pchBlock.reset();
    m_nBytesRemaining = 0;
    m_nBytesInBlock = 0;
}

bool CCfSend::PumpBlock(int nEvent) {
    TraceMessage("CCfSend", "CFSend_Phase51 = [%d] , [%d]\n", nEvent, m_nSubStep);
    switch (nEvent) {
        case EVENT_TIMEOUT:
            Purge(kPurgeAll);
            FreeBlock();
            m_nSubStep = kCfSubStepWriteFailed;
            return true;
        case EVENT_ABORT:
            // The block goes out whole; the abort takes effect once it has.
            AddStatusLine(msg::kDiscontinuation);
            AddStatusLine(msg::kPleaseWait);
            m_bAbort = true;
            return false;
        case EVENT_SENT:
        case EVENT_LINE_ERROR:
            break;
        default:
            return false;
    }
    std::uint32_t errors = 0;
    platform::QueueStatus status{};
    ClearError(errors, status);
    if (status.outQueue != 0) {
        // The time-out runs only while the queue stops draining.
        if (static_cast<int>(status.outQueue) != m_nLastPiece) {
            m_nLastPiece = static_cast<int>(status.outQueue);
            Arm(m_nReadTimeout);
        }
        return false;
    }
    if (m_nBytesRemaining > 0) {
        WritePiece();
        Arm(m_nReadTimeout);
        return false;
    }
    FreeBlock();
    Arm(m_nReadTimeout);
    // A full block is answered with the go-ahead for the next one (or a result); the last
    // block with the final answer.
    m_nSubStep = m_nBlockSize == kCfBlockSize ? kGoAhead : kFinalAnswer;
    m_nRecvPos = 0;
    m_bEndSeen = false;
    ResetAssembler();
    if (m_bAbort) {
        TraceMessage("CCfSend", "Phase51 Cancel\n");
        Purge(kPurgeAll);
        m_nSubStep = kCfSubStepAborted;
        return true;
    }
    return false;
}

bool CCfSend::WaitFinalAnswer(int nEvent) {
    TraceMessage("CCfSend", "CFSend_Phase6 = [%d] , [%d]\n", nEvent, m_nSubStep);
    switch (nEvent) {
        case EVENT_RECEIVED:
            if (!ReadAnswer(kLoaderGated)) {
                return false;
            }
            // A result with an error is the card refusing the last block (its checksum
            // failed on the way, or the card could not store it): the file is not on the
            // card, and the run must not go on as if it were.
            if (const std::string_view answer = Answer();
                IsCfResultAnswer(answer) && CfResultError(answer[3]) != 0) {
                m_nError = CfResultError(answer[3]);
                m_nSubStep = kCfSubStepError;
                return true;
            }
            m_nSendSize += static_cast<std::uint32_t>(m_nBlockSize);
            TransferMoved(static_cast<std::uint64_t>(m_nBlockSize));
            m_nSubStep = kFileDone;
            TraceMessage("KZmnt", "  m_nSendSize = [%d] nPhase = [%d]\n",
                         static_cast<int>(m_nSendSize), m_nSubStep);
            return true;
        case EVENT_TIMEOUT:
            Purge(kPurgeAll);
            ResetAssembler();
            m_nSubStep = kCfSubStepWriteFailed;
            return true;
        case EVENT_ABORT:
            Purge(kPurgeAll);
            m_nSubStep = kCfSubStepAborted;
            ResetAssembler();
            return true;
        default:
            return false;
    }
}

}  // namespace kz
