// The LAN adapter's connection entries: from the node search to the loader, and the CF
// operations' Connect. Each is a machine of sub-phases (see ProtocolMtoM.cpp for the wait,
// refusal and abort rules they share: 98 refused, 99 aborted).
//
//   NodeSearch   1 search (or the node given) ─► 2 "Search end", choose ─► 3 done
//                                                  └ none chosen: 99 (1 s) ─► 4001
//   Password     one call: open, ask for a password, exchange it (up to three tries)
//   ReadID       0 open ─► 1 communication ─► 2 identity (core ID, version) ─► done
//   Connect      0 open ─► 1 communication ─► 2 done
//
//   DownloadSLOADER:
//     0 status ─► 10 loader ─► 11 start it ─► 12 ─┬─ new panel ───────────────► done
//                  ▲                              └─ old panel: 30 extension blocks ─► 32
//                  │                                  ─► 40 cold restart (1 s) ─► 50 message,
//                  └──────── 52 ◄── 51 communication ◄── reconnect ◄─────────────┘
#include <algorithm>
#include <cstring>
#include <fstream>

#include "config/Settings.h"
#include "diag/Trace.h"
#include "lan/NetworkSearch.h"
#include "lan/ProtocolMtoM.h"
#include "platform/File.h"
#include "platform/Format.h"
#include "platform/ProgramFolder.h"

namespace kz {

// ---- Node search ------------------------------------------------------------------------------

bool CProtocolMtoM::NodeSearch(int nEvent) {
    for (;;) {
        switch (m_nSearchPhase) {
            case 1:
                if (!m_csNodeAddress.empty()) {
                    m_nSearchPhase = 3;  // the front-end named the panel
                    break;
                }
                m_bSearching = true;
                AddStatusLine(msg::kSearching);
                m_nError = 0;
                {
                    lan::LanLibrary lib;
                    std::string loadError;
                    if (!lib.Load(&loadError)) {
                        ReportLibraryNotLoaded(loadError);
                    } else {
                        ReportIncompleteLibrary(lib);
                    }
                    m_vNodes = lan::SearchNodes(lib, lan::kStartSearchPort, nullptr);
                }
                m_bSearching = false;
                m_nSearchPhase = 2;
                break;
            case 2: {
                AddStatusLine(msg::kSearchEnd);
                std::string chosen;
                bool ok;
                if (m_pChooser != nullptr) {
                    ok = m_pChooser->ChooseNode(m_vNodes, &chosen);
                } else {
                    ok = !m_vNodes.empty();
                    chosen = ok ? m_vNodes.front() : std::string();
                }
                // "KZ is not found." has no address: taking it is no choice at all.
                if (!ok || chosen.empty()) {
                    m_nSearchPhase = 99;
                    Arm(lan::kRefusedTicks);
                    return false;
                }
                m_csNodeAddress = chosen;
                m_nSearchPhase = 3;
                break;
            }
            case 3:
                m_nSearchPhase = 1;
                return true;
            default: {
                bool result = false;
                if (nEvent == EVENT_TIMEOUT || nEvent == EVENT_ABORT) {
                    Closing(nEvent, m_nSearchPhase, 1, false, &result);
                }
                return result;
            }
        }
    }
}

// ---- Password -----------------------------------------------------------------------------------

bool CProtocolMtoM::Password(int /*nEvent*/) {
    // Every call here completes before it returns; an abort cuts the one in progress short,
    // and whatever the calls gave, the entry then ends as aborted.
    if (AbortRequested()) {
        m_nError = msg::kAborted;
        return true;
    }
    if (!NewBinding()) {
        m_nError = msg::kCheckPower;
        return true;  // the binding stays until the operation ends
    }
    const lan::LanLibrary& lib = m_pBinding->Lib();
    lan::MtoMSocket* sock = m_pBinding->Socket();
    if (lib.OpenMtoMLAN(sock, nullptr, m_csNodeAddress.c_str()) != lan::kResultSuccess) {
        m_nError = AbortRequested() ? msg::kAborted : msg::kCheckPower;
        return true;
    }
    lan::KzFileLimit query = lan::kPasswordQueryLimit;
    int hasPassword = 0;
    lan::KzFileList list[lan::kListEntries];
    std::uint8_t bytes[lan::kListByteArea] = {};
    if (lib.List(sock, nullptr, &query, &hasPassword, list, bytes) != lan::kResultSuccess) {
        m_nError = msg::kCheckPower;
    } else if (hasPassword != 0 && !AbortRequested()) {
        for (int attempt = 1;; ++attempt) {
            m_csPassword.clear();
            RequestFromView(WM_PASSWORD_REQUEST);
            if (m_csPassword.empty()) {
                m_nError = msg::kAborted;
                break;
            }
            char code[lan::kPasswordCodeSize];
            std::memset(code, 10, sizeof code - 1);
            const std::size_t n = std::min(m_csPassword.size(), sizeof code - 1);
            for (std::size_t j = 0; j < n; ++j) {
                code[j] = static_cast<char>(static_cast<std::uint8_t>(m_csPassword[j]) + 10);
            }
            code[sizeof code - 1] = 0;
            std::uint32_t answer = 1;
            if (lib.Password(sock, nullptr, code, &answer) == lan::kResultSuccess ||
                AbortRequested()) {
                break;
            }
            if (attempt >= 3) {
                if (Prompt() != nullptr) {
                    Prompt()->ShowMessage(msg::kPasswordRetry, msg::kPasswordInput);
                }
                m_nError = msg::kPasswordRetry;
                break;
            }
            if (Prompt() == nullptr ||
                !Prompt()->AskOkCancel(msg::kPasswordWrong, msg::kPasswordInput)) {
                m_nError = msg::kAborted;
                break;
            }
        }
    }
    if (AbortRequested()) {
        m_nError = msg::kAborted;
    }
    DeleteBinding();
    return true;
}

// ---- ReadID --------------------------------------------------------------------------------------

bool CProtocolMtoM::ReadID(int nEvent) {
    for (bool first = true;; first = false) {
        const int event = first ? nEvent : EVENT_NONE;
        TraceMessage("KZmnt", "ReadID_Phase1 = [%d] , [%d]\n", event, m_nReadIDPhase);
        bool result = false;
        if (Closing(event, m_nReadIDPhase, 0, true, &result)) {
            return result;
        }
        if (event == EVENT_ABORT && m_nReadIDPhase != 0) {
            // Nothing has been sent to the panel yet that must be finished: stop here.
            DeferAbort();
        }
        switch (m_nReadIDPhase) {
            case 0:
                if (AbortRequested()) {
                    m_nError = msg::kAborted;  // no session is opened after an abort
                    return true;
                }
                AddStatusLine(msg::kCoreIdCheck);
                m_bOldLoader = true;
                if (!NewBinding()) {
                    TraceMessage("KZmnt", "  Create Error\n");
                    return Refused(m_nReadIDPhase);
                }
                Submit(m_nReadIDPhase, 1, Answer::Command, &lan::LanLibrary::OpenMtoMLAN,
                       m_csNodeAddress.c_str());
                return false;
            case 1:
                if (bool ended; !Await(event, m_nReadIDPhase, 0, lan::kRefusedTicks, &ended)) {
                    return ended;
                }
                Submit(m_nReadIDPhase, 2, Answer::Command, &lan::LanLibrary::Communication);
                return false;
            case 2: {
                if (bool ended; !Await(event, m_nReadIDPhase, 0, lan::kRefusedTicks, &ended)) {
                    return ended;
                }
                std::uint8_t* buffer = m_pchBuff.get();
                std::memset(buffer, 0, lan::kAdapterBufferSize);
                std::memcpy(buffer, lan::kBelRequest, sizeof lan::kBelRequest);
                std::uint8_t* answer = buffer + lan::kBelAnswerOffset;
                if (m_pBinding->Lib().Bel(m_pBinding->Socket(), nullptr, lan::kBelIdentity, buffer,
                                          answer) != lan::kResultSuccess) {
                    return Refused(m_nReadIDPhase);
                }
                std::uint32_t coreId;
                std::memcpy(&coreId, answer + lan::kBelCoreIdOffset, sizeof coreId);
                // The text ends at its NUL, and never beyond the buffer.
                const char* text = reinterpret_cast<const char*>(answer + lan::kBelTextOffset);
                const std::size_t room =
                    lan::kAdapterBufferSize - lan::kBelAnswerOffset - lan::kBelTextOffset;
                const void* nul = std::memchr(text, 0, room);
                const std::string version(
                    text, nul != nullptr ? static_cast<const char*>(nul) - text : room);
                const auto comma = version.find(',');
                const auto second =
                    comma == std::string::npos ? std::string::npos : version.find(',', comma + 1);
                if (second == std::string::npos) {
                    return Refused(m_nReadIDPhase);
                }
                TraceMessage("KZmnt", "    dwCoreID = [%X]\n", coreId);
                m_csCoreID = Format("%4X", coreId & 0xFFFF);
                if (CSettings().GetDebug()) {
                    AddStatusLine(Format("Read CoreID = [%s]", m_csCoreID.c_str()));
                }
                m_csAutoName = Format("%4X", coreId & 0xF37F);
                m_bOldLoader =
                    version.compare(second + 1, std::string::npos, lan::kOldLoaderBelow) < 0;
                m_nReadIDPhase = 0;
                return true;
            }
            default:
                return false;
        }
    }
}

// ---- DownloadSLOADER ----------------------------------------------------------------------------

bool CProtocolMtoM::ReadLoaderFile() {
    std::string path = m_csLoaderName;
    if (path.find_first_of("/\\") == std::string::npos) {
        path = platform::ProgramFolder() + path;
    }
    // Read only from a regular file (a FIFO would block the run), and only a loader the
    // adapter's buffer holds, with at least its address word.
    std::string bytes;
    if (platform::ReadRegularFile(path, lan::kAdapterBufferSize, bytes) !=
            platform::ReadOutcome::Read ||
        bytes.size() < 4) {
        return false;
    }
    m_pchFileBuff.reset(new std::uint8_t[lan::kAdapterBufferSize]);
    std::memcpy(m_pchFileBuff.get(), bytes.data(), bytes.size());
    const auto length = static_cast<std::uint32_t>(bytes.size());
    m_dwFileLength = length;
    std::memcpy(&m_dwLoaderAddress, m_pchFileBuff.get(), 4);
    return true;
}

bool CProtocolMtoM::OpenExtension() {
    const std::string path = platform::ProgramFolder() + lan::kExtensionFile;
    // A FIFO or a device in the file's place would block the run.
    if (platform::KindOfTarget(path) != platform::PathKind::Regular) {
        return false;
    }
    auto file = std::make_unique<ExtensionFile>();
    file->in.open(path, std::ios::binary);
    std::uint8_t head[lan::kExtensionHeader + 2];
    if (!file->in || !file->in.read(reinterpret_cast<char*>(head), sizeof head)) {
        return false;
    }
    file->remaining = static_cast<std::uint16_t>(head[lan::kExtensionHeader] |
                                                 (head[lan::kExtensionHeader + 1] << 8));
    m_pExtension = std::move(file);
    return true;
}

template <class... Params, class... Args>
bool CProtocolMtoM::SubmitLoaderWork(int next, Answer answer,
                                     int (lan::LanLibrary::*call)(lan::MtoMSocket*,
                                                                  lan::MtoMCallback, Params...)
                                         const,
                                     Args... args) {
    if (Submit(m_nDownloadPhase, next, answer, call, args...)) {
        return true;
    }
    TraceRefusal();
    // A refused request leaves its data with us; it is not sent again.
    m_pchFileBuff.reset();
    m_pExtension.reset();
    return false;
}

bool CProtocolMtoM::LoaderUnreadable() {
    m_pExtension.reset();
    m_nError = msg::kIloaderRead;
    m_nDownloadPhase = 0;
    return true;
}

bool CProtocolMtoM::DownloadStep(int nEvent) {
    const auto aborted = [this] {
        m_nDownloadPhase = 99;
        return true;
    };
    // The waiting sub-steps take their completion here.
    if (m_nDownloadPhase == 11 || m_nDownloadPhase == 12 || m_nDownloadPhase == 31 ||
        m_nDownloadPhase == 32 || m_nDownloadPhase == 51 || m_nDownloadPhase == 52) {
        if (bool ended; !Await(nEvent, m_nDownloadPhase, 0, 0, &ended)) {
            if (ended) {
                m_pchFileBuff.reset();
                m_pExtension.reset();
            }
            return ended;
        }
    }
    switch (m_nDownloadPhase) {
        case 0:
            AddStatusLine(msg::kSloaderTransmission);
            m_nDownloadPhase = 10;
            return true;
        case 10:
            TraceMessage("KZmnt", "DownloadSLOADER_Phase1 = [%d] , [%d]\n", nEvent, m_nPhase);
            if (!ReadLoaderFile()) {
                return LoaderUnreadable();
            }
            SubmitLoaderWork(11, Answer::DataBlock,
                             &lan::LanLibrary::DownloadingSystemDownloaderFile, m_dwLoaderAddress,
                             m_dwFileLength - 4, m_pchFileBuff.get() + 4);
            return false;
        case 11:
            m_pchFileBuff.reset();
            SubmitLoaderWork(12, Answer::Command, &lan::LanLibrary::InvokingTheDownloadedObject,
                             m_dwLoaderAddress);
            return false;
        case 12:
            m_bExtensionSent = false;
            if (m_bAborting) {
                return aborted();
            }
            m_nDownloadPhase = m_bOldLoader ? 30 : 2;
            return true;
        case 30:
            TraceMessage("KZmnt", "  DownloadSLOADER_Phase3 = [%d] , [%d]\n", nEvent, m_nPhase);
            if (!OpenExtension()) {
                return LoaderUnreadable();
            }
            m_nDownloadPhase = 31;
            return SendExtensionBlock();
        case 31:
            return SendExtensionBlock();
        case 32:
            if (m_bAborting) {
                return aborted();
            }
            m_nDownloadPhase = 40;
            return true;
        case 40:
            if (!Binding()) {
                return aborted();
            }
            if (Accepted(
                    Binding()->Lib().ColdRest(Binding()->Socket(), &lan::CMtoMBinding::Callback))) {
                TraceMessage("KZmnt", "ColdReset\n");
                m_nDownloadPhase = 41;
            } else {
                TraceRefusal();
                m_nDownloadPhase = 98;
            }
            Arm(lan::kRefusedTicks);
            return false;
        case 41:
            // The restart's completion is not waited for; its session is dead either way.
            if (nEvent == EVENT_ABORT) {
                DeferAbort();
                Arm(lan::kRefusedTicks);
                return false;
            }
            if (nEvent != EVENT_TIMEOUT) {
                return false;
            }
            if (m_nError != 0) {
                m_nDownloadPhase = 0;
                return true;
            }
            DeleteBinding();
            if (m_bAborting) {
                return aborted();
            }
            m_nDownloadPhase = 50;
            return true;
        case 50:
            Sleep(1000);
            if (Prompt() != nullptr) {
                Prompt()->ShowMessage(msg::kReturnOnline, 0);
            }
            if (!NewBinding()) {
                TraceRefusal();
                return Refused(m_nDownloadPhase);
            }
            SubmitLoaderWork(51, Answer::Command, &lan::LanLibrary::OpenMtoMLAN,
                             m_csNodeAddress.c_str());
            return false;
        case 51:
            SubmitLoaderWork(52, Answer::Command, &lan::LanLibrary::Communication);
            return false;
        case 52:
            // The restarted panel needs the loader once more, and no extension now.
            m_bOldLoader = false;
            m_nDownloadPhase = 10;
            return true;
        default:
            return false;
    }
}

bool CProtocolMtoM::SendExtensionBlock() {
    ExtensionFile& file = *m_pExtension;
    if (file.remaining > 0) {
        std::uint32_t length = 0;
        if (!file.in.read(reinterpret_cast<char*>(&length), 4) ||
            length > lan::kAdapterBufferSize) {
            return LoaderUnreadable();
        }
        m_pchFileBuff.reset(new std::uint8_t[lan::kAdapterBufferSize]);
        if (!file.in.read(reinterpret_cast<char*>(m_pchFileBuff.get()), length)) {
            return LoaderUnreadable();
        }
        if (SubmitLoaderWork(m_nDownloadPhase, Answer::DataBlock,
                             &lan::LanLibrary::ExtendProgramDownloading, lan::kExtensionProgram,
                             file.block, length, m_pchFileBuff.get())) {
            --file.remaining;
            ++file.block;
        }
        return false;
    }
    m_pExtension.reset();
    if (SubmitLoaderWork(32, Answer::Command, &lan::LanLibrary::ExtendProgramDownloading,
                         lan::kExtensionProgram, std::uint16_t{0}, std::uint32_t{0}, nullptr)) {
        m_bExtensionSent = true;
    }
    return false;
}

bool CProtocolMtoM::DownloadSLOADER(int nEvent) {
    for (bool first = true;; first = false) {
        const int event = first ? nEvent : EVENT_NONE;
        if (m_nDownloadPhase == 2) {
            m_nDownloadPhase = 0;
            return true;
        }
        bool result = false;
        if (Closing(event, m_nDownloadPhase, 0, false, &result)) {
            return result;
        }
        if (!DownloadStep(event)) {
            return false;
        }
        if (m_nError != 0 && m_nDownloadPhase == 0) {
            return true;
        }
    }
}

// ---- Connect -------------------------------------------------------------------------------------

bool CProtocolMtoM::Connect(int nEvent) {
    bool result = false;
    if (Closing(nEvent, m_nConnectPhase, 0, true, &result)) {
        return result;
    }
    if (m_nConnectPhase == 0) {
        if (AbortRequested()) {
            m_nError = msg::kAborted;  // no session is opened after an abort
            return true;
        }
        if (!NewBinding()) {
            return Refused(m_nConnectPhase);
        }
        Submit(m_nConnectPhase, 1, Answer::Command, &lan::LanLibrary::OpenMtoMLAN,
               m_csNodeAddress.c_str());
        return false;
    }
    if (bool ended; !Await(nEvent, m_nConnectPhase, 0, lan::kRefusedTicks, &ended)) {
        return ended;
    }
    if (m_nConnectPhase == 1) {
        Submit(m_nConnectPhase, 2, Answer::Command, &lan::LanLibrary::Communication);
        return false;
    }
    m_nConnectPhase = 0;
    return true;
}

}  // namespace kz
