// Connection and identification commands: they bring a panel from its power-on state to a
// working link with the transfer loader, and identify it.
//
//   Password ─► ReadCoreID ─► (model lookup) ─► DownloadILOADER ─► ConnectILOADER
//            ─► ReadSignature ─► (I/O code) ─► ReadHW ─► memory transfers ─► Reset
//   CF operations: Handshaking ─► ChangeSIO ─► CF transfers ─► Quit
//
// Each command is a numbered-phase state machine run by RunCommand(); the phase tables in
// the comments give the transitions.
#include <cstdio>
#include <cstring>
#include <fstream>

#include "config/IniFile.h"
#include "config/StringTable.h"
#include "diag/DebugLog.h"
#include "diag/Trace.h"
#include "platform/Format.h"
#include "platform/ProgramFolder.h"
#include "serial/Protocol.h"

namespace kz {

namespace {

// Rate codes of the rate-change frames.
char RateCode(std::uint32_t baud) {
    switch (baud) {
        case 9600:
            return '2';
        case 19200:
            return '1';
        case 38400:
            return '0';
        default:
            return '6';  // 115200
    }
}

int RetryOrThree(int retry) {
    return retry > 0 ? retry : 3;
}

// A hex field of an answer; 0 when it holds no number.
std::uint32_t HexValue(std::string_view text) {
    std::uint32_t value = 0;
    IniScanHex(text, value);
    return value;
}

constexpr int kPasswordLength = 24;
constexpr int kPasswordTicks = 300;
constexpr int kPowerResetProbeTicks = 100;

}  // namespace

std::string CProtocol::RateChangeFrame() const {
    std::string body = Format("2%c0000", RateCode(m_nBaudRate));
    return Format("%c<O", DLE) + body + ChecksumText(body) + static_cast<char>(CR);
}

// ---- Password ----------------------------------------------------------------------------
//  1 load retries ─► 2 line reset, ">C" ─► 3 answer? ─► 4 ">LS00008" ─► 5 ─► 6 protected?
//  6 ─► 7 ask the user, ">P..." ─► 8 ─► 9 accepted? ─► 10 done
//  7 cancelled / 9 refused too often ─► ">Q" ─► 11 its answer (or time-out) ─► 4001 / 4010
//  The quit answer is taken off the line here: left unread, it would be paired with a
//  request of the next run. Phases 5 and 8 wait on past answers that belong to another
//  request, so only the panel's own answer to ">LS00008" decides whether it is protected.
bool CProtocol::Password(int nEvent) {
    return RunCommand(m_nPasswordPhase, 10, &CProtocol::PasswordPhase, nEvent);
}

bool CProtocol::PasswordPhase(int nEvent, int& nPhase) {
    switch (nPhase) {
        case 1:
            m_nRetry = RetryOrThree(m_nRetryCount);
            nPhase = 2;
            return true;
        case 2:
            ResetLine();
            return Send(Format("%c>C%c", DLE, CR), kPasswordTicks, 3, nPhase);
        case 3:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadAnswer(kLoaderGated)) {
                    return false;
                }
                m_nRetry = m_nRetryCount;
                Disarm();
                nPhase = 4;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                Purge(kPurgeAll);
                ResetAssembler();
                if (--m_nRetry < 0) {
                    // No answer at all: the panel does not use a password.
                    TraceMessage("KZmnt", "Password retry Over\n");
                    Disarm();
                    nPhase = 10;
                    return true;
                }
                TraceMessage("KZmnt", "Password Timeout\n");
                nPhase = 2;
                return true;
            }
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, true);
            }
            return false;
        case 4:
            return Send(Format("%c>LS00008%c", DLE, CR), m_nReadTimeout, 5, nPhase);
        case 5:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadAnswer(kLoaderGated)) {
                    return false;
                }
                if (!AnswerStartsWith("<LS")) {
                    DropAnswer();
                    return false;
                }
                Disarm();
                nPhase = 6;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                return RetryTo(4, nPhase);
            }
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, true);
            }
            return false;
        case 6:
            if (Answer().substr(0, 8) == "<LS00008") {
                m_nRetry = m_nRetryCount;
                nPhase = 7;
            } else {
                nPhase = 10;  // no password needed
            }
            return true;
        case 7: {
            m_csPassword.clear();
            RequestFromView(WM_PASSWORD_REQUEST);
            if (m_csPassword.empty()) {
                m_nPasswordOutcome = msg::kAborted;
                return SendUnchecked(QuitFrame(), m_nReadTimeout, 11, nPhase);
            }
            std::string frame = Format("%c>P", DLE);
            for (int i = 0; i < kPasswordLength; ++i) {
                std::uint8_t byte = i < static_cast<int>(m_csPassword.size())
                                        ? static_cast<std::uint8_t>(m_csPassword[i])
                                        : 0;
                frame += static_cast<char>(static_cast<std::uint8_t>(byte + 10));
            }
            frame += static_cast<char>(CR);
            return Send(frame, m_nReadTimeout, 8, nPhase);
        }
        case 8:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadAnswer(kLoaderGated)) {
                    return false;
                }
                if (!AnswerStartsWith("<P")) {
                    DropAnswer();
                    return false;
                }
                Disarm();
                nPhase = 9;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                return RetryTo(7, nPhase);
            }
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, true);
            }
            return false;
        case 9: {
            std::string_view answer = Answer();
            if (answer.size() > 3 && answer[3] == '0') {
                Disarm();
                nPhase = 10;
                return true;
            }
            if (--m_nRetry >= 1) {
                nPhase = 7;
                return true;
            }
            m_nPasswordOutcome = msg::kPasswordRetry;
            return SendUnchecked(QuitFrame(), m_nReadTimeout, 11, nPhase);
        }
        case 11:
            // The quit answer, or silence: either way the command ends as decided.
            if (nEvent == EVENT_RECEIVED && !ReadAnswer(kLoaderGated)) {
                return false;
            }
            if (nEvent != EVENT_RECEIVED && nEvent != EVENT_TIMEOUT && nEvent != EVENT_ABORT) {
                return false;
            }
            if (nEvent != EVENT_RECEIVED) {
                Purge(kPurgeAll);
            }
            ResetAssembler();
            Disarm();
            if (m_nPasswordOutcome == msg::kAborted || nEvent == EVENT_ABORT) {
                nPhase = kPhaseAborted;
                return true;
            }
            m_nError = m_nPasswordOutcome;
            nPhase = 1;
            return false;
    }
    return false;
}

bool CProtocol::EndPowerResetWait(int& nPhase) {
    if (m_bPowerResetCancel) {
        PostToView(WM_POWER_RESET_DIALOG, 0);
        nPhase = kPhaseAborted;
        return true;
    }
    const std::uint32_t limit = m_nPowerResetLimitMs;
    if (limit == 0 || TickCount() - m_dwPowerResetStart < limit) {
        return false;
    }
    // Nobody is there to switch the unit off and on, or to cancel: give up as a panel
    // that never answered.
    PostToView(WM_POWER_RESET_DIALOG, 0);
    AddStatusLine(
        Format(GetString(msg::kPowerResetTimeout).c_str(), static_cast<int>(limit / 1000)));
    Disarm();
    m_nError = msg::kCheckPower;
    nPhase = 1;
    return true;
}

// ---- ReadCoreID ----------------------------------------------------------------------------
//  1 line reset ─► 2 ENQ (1 tick) ─► 3 ETX SUB? ─yes─► 4 "MID" ─► 5 answer ─► 6 checksum ─► 7
//                        └─ (Retry or 3) × 10 silent ticks ─► 31 power-reset dialog
//  31 ─► 32 wait for CTS off ─► 33 wait for CTS on ─► 1
//  A device without modem lines cannot show the power cycle: 34 keeps probing with ENQ
//  while the dialog is up and starts over as soon as the panel answers.
bool CProtocol::ReadCoreID(int nEvent) {
    return RunCommand(m_nReadCoreIDPhase, 7, &CProtocol::ReadCoreIDPhase, nEvent);
}

bool CProtocol::ReadCoreIDPhase(int nEvent, int& nPhase) {
    switch (nPhase) {
        case 1:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            AddStatusLine(msg::kEstablishLink);
            ResetLine();
            m_nRetry = RetryOrThree(m_nRetryCount) * 10;
            m_bAbort = false;
            nPhase = 2;
            return true;
        case 2: {
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            const std::uint8_t enq = ENQ;
            return Send(&enq, 1, 1, 3, nPhase);
        }
        case 3:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadTwoByte(ETX)) {
                    return false;
                }
                m_nRetry = m_nRetryCount;
                Disarm();
                nPhase = 4;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                Purge(kPurgeAll);
                ResetAssembler();
                if (m_bAbort) {
                    nPhase = kPhaseAborted;
                    return true;
                }
                nPhase = --m_nRetry > 0 ? 2 : 31;
                return true;
            }
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            return false;
        case 31:
            // Cleared before the dialog can exist, so a quick Cancel is never lost.
            m_bPowerResetCancel = false;
            m_dwPowerResetStart = TickCount();
            PostToView(WM_POWER_RESET_DIALOG, 1);
            Arm(1);
            nPhase = HasModemLines() ? 32 : 34;
            return false;
        case 32:
        case 33: {
            if (nEvent != EVENT_TIMEOUT) {
                return false;
            }
            if (EndPowerResetWait(nPhase)) {
                return m_nError == 0;
            }
            std::uint32_t status = 0;
            GetModemStatus(status);
            const bool ctsOn = (status & platform::MS_CTS_ON) != 0;
            if (nPhase == 32 && !ctsOn) {
                nPhase = 33;
            } else if (nPhase == 33 && ctsOn) {
                PostToView(WM_POWER_RESET_DIALOG, 0);
                nPhase = 1;
            }
            Arm(1);
            return false;
        }
        case 34:
            if (nEvent == EVENT_RECEIVED) {
                if (ReadTwoByte(ETX)) {
                    PostToView(WM_POWER_RESET_DIALOG, 0);
                    nPhase = 1;
                    Arm(1);
                }
                return false;
            }
            if (nEvent != EVENT_TIMEOUT) {
                return false;
            }
            if (EndPowerResetWait(nPhase)) {
                return m_nError == 0;
            }
            {
                const std::uint8_t enq = ENQ;
                Write(&enq, 1);
            }
            Arm(kPowerResetProbeTicks);
            return false;
        case 4:
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            AddStatusLine(msg::kCoreIdCheck);
            {
                std::string mid = "MID";
                std::string frame =
                    static_cast<char>(ESC) + mid + ChecksumText(mid) + static_cast<char>(CR);
                return Send(frame, m_nReadTimeout, 5, nPhase);
            }
        case 5:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadAnswer(kFirmwareGated)) {
                    return false;
                }
                Disarm();
                nPhase = 6;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                Purge(kPurgeAll);
                ResetAssembler();
                if (m_bAbort) {
                    nPhase = kPhaseAborted;
                    return true;
                }
                return RetryTo(4, nPhase);
            }
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            return false;
        case 6: {
            std::string_view answer = Answer();
            // The core ID sits at characters 8 to 11; a shorter answer cannot carry one
            // even when its checksum holds.
            bool good = answer.size() >= 14 && ChecksumText(answer.substr(0, answer.size() - 2)) ==
                                                   answer.substr(answer.size() - 2);
            if (good) {
                if (DebugStatusOn()) {
                    AddStatusLine(Format("Read CoreID = [%4.4s]", answer.data() + 8));
                }
                nPhase = 7;
                return true;
            }
            m_nRecvPos = 0;
            return NextAttempt(4, nPhase);
        }
    }
    return false;
}

std::string CProtocol::CoreIdFromAnswer() const {
    std::string_view answer = Answer();
    if (answer.size() < 12) {
        return {};
    }
    return std::string(answer.substr(8, 4));
}

// ---- DownloadILOADER -------------------------------------------------------------------------
//  1 ─► 2 line reset ─(9600)─► 5          2 ─► 3 "COM2" rate change ─► 4 answer (after 2 s)
//  5 switch rate, loader frame, first piece ─► 51 send pump ─► 6 answer ─► 7 "PGO" ─► 8 answer
//  8 ─► 9 wait 3 s for the loader to start ─► 10 done
// Aborts are deferred: only phase 4's time-out acts on them; otherwise ConnectILOADER does.
bool CProtocol::DownloadILOADER(int nEvent) {
    return RunCommand(m_nDownloadPhase, 10, &CProtocol::DownloadPhase, nEvent);
}

bool CProtocol::BuildLoaderFrame() {
    std::string path = m_csLoaderName;
    if (path.find('/') == std::string::npos && path.find('\\') == std::string::npos) {
        path = platform::ProgramFolder() + path;
    }
    TraceMessage("  KZmnt", "  ILOADER = [%s]\n", path.c_str());
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (DebugStatusOn()) {
            AddStatusLine(Format("ILOADER = [%s]", path.c_str()));
        }
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff fileSize = file.tellg();
    file.seekg(0, std::ios::beg);
    // The first four bytes are the load address; a file without them, or too long for the
    // frame buffer, cannot be sent.
    if (fileSize < 4 || fileSize > static_cast<std::streamoff>(kLoaderFileLimit)) {
        return false;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(fileSize);
    m_pchSendBuff.reset(new (std::nothrow) std::uint8_t[kRecvBufferSize]);
    if (!m_pchSendBuff) {
        return false;
    }
    std::uint8_t* buffer = m_pchSendBuff.get();
    file.read(reinterpret_cast<char*>(buffer + 16), length);
    if (static_cast<std::uint32_t>(file.gcount()) != length) {
        m_pchSendBuff.reset();
        return false;
    }
    TraceMessage("  KZmnt", "  m_nSendSize = [%x] m_pchSendBuff = [%X]\n", m_nSendSize,
                 static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(buffer)));
    TraceMessage("  KZmnt", "  FileSize = [%x]\n", length);
    // The header replaces the address bytes, so the body (file bytes 5 on) follows it.
    std::string header = Format("%cPLD%02X%02X%02X%02X%08X", ESC, buffer[19], buffer[18],
                                buffer[17], buffer[16], length - 4);
    std::memcpy(buffer, header.data(), header.size());
    m_csLoaderAddress = header.substr(4, 8);
    Checksum(buffer + 1, length + 15, reinterpret_cast<char*>(buffer + length + 16));
    buffer[length + 18] = CR;
    m_nWriteSize = length + 19;
    m_bSendAbort = false;
    m_nRecvPos = 0;
    return true;
}

bool CProtocol::DownloadPhase(int nEvent, int& nPhase) {
    if (nEvent == EVENT_ABORT && nPhase != 51) {
        AbortDeferred();
        if (nPhase == 4 || nPhase == 6 || nPhase == 8) {
            return false;  // a waiting phase keeps waiting
        }
    }
    switch (nPhase) {
        case 1:
            AddStatusLine(msg::kIloaderDownload);
            m_nRetry = m_nRetryCount;
            nPhase = 2;
            return true;
        case 2:
            ResetLine();
            nPhase = m_nBaudRate == 9600 ? 5 : 3;
            return true;
        case 3: {
            std::string body = Format("COM2%c0000", RateCode(m_nBaudRate));
            std::string frame =
                static_cast<char>(ESC) + body + ChecksumText(body) + static_cast<char>(CR);
            return Send(frame, m_nReadTimeout, 4, nPhase);
        }
        case 4:
            if (nEvent == EVENT_RECEIVED) {
                // The firmware needs time to answer and switch; read after it has settled.
                Sleep(2000);
                if (!ReadAnswer(kFirmwareNoLoneSub)) {
                    return false;
                }
                std::string_view answer = Answer();
                if (answer.size() == 6 && answer[3] == '0') {
                    Arm(m_nReadTimeout);
                    nPhase = 5;
                    return true;
                }
                return NextAttempt(2, nPhase);
            }
            if (nEvent == EVENT_TIMEOUT) {
                AddStatusLine(msg::kTimeOut);
                Purge(kPurgeAll);
                ResetAssembler();
                if (m_bAbort) {
                    nPhase = kPhaseAborted;
                    return true;
                }
                return RetryTo(2, nPhase);
            }
            return false;
        case 5: {
            SwitchToConfiguredRate();
            if (!BuildLoaderFrame()) {
                m_nError = msg::kIloaderRead;
                nPhase = 1;
                return false;
            }
            nPhase = 51;
            std::uint32_t remaining = 0;
            if (!StartPump(m_pchSendBuff.get(), m_nWriteSize, remaining)) {
                m_pchSendBuff.reset();
                nPhase = kPhaseWriteFailed;
                return true;
            }
            m_nSendSize = remaining;
            return false;
        }
        case 51:
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
                return false;
            }
            if (nEvent == EVENT_SENT || nEvent == EVENT_LINE_ERROR) {
                switch (PumpStep(m_pchSendBuff.get(), m_nWriteSize, m_nSendSize, nullptr)) {
                    case PumpState::Waiting:
                        return false;
                    case PumpState::WriteFailed:
                        m_pchSendBuff.reset();
                        nPhase = kPhaseWriteFailed;
                        return true;
                    case PumpState::Done:
                        m_pchSendBuff.reset();
                        Arm(m_nReadTimeout);
                        m_nRecvPos = 0;
                        ResetAssembler();
                        nPhase = 6;
                        return false;
                }
            }
            return false;
        case 6:
        case 8:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadAnswer(kFirmwareAnswer)) {
                    return false;
                }
                Disarm();
                nPhase = nPhase == 6 ? 7 : 9;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                AddStatusLine(msg::kTimeOut);
                return RetryTo(2, nPhase);
            }
            return false;
        case 7: {
            std::string body = "PGO" + m_csLoaderAddress;
            std::string frame =
                static_cast<char>(ESC) + body + ChecksumText(body) + static_cast<char>(CR);
            return Send(frame, m_nReadTimeout, 8, nPhase);
        }
        case 9:
            Sleep(3000);  // the loader starts
            nPhase = 10;
            return true;
    }
    return false;
}

// ---- ConnectILOADER ----------------------------------------------------------------------------
//  1 line reset ─► 2 ENQ every tick ─► 3 EOT SUB ─(9600)─► 6 switch, done
//                                             └─► 4 "<O2" rate change ─► 5 answer ─► 6 ─► 7
bool CProtocol::ConnectILOADER(int nEvent) {
    return RunCommand(m_nConnectPhase, 7, &CProtocol::ConnectPhase, nEvent);
}

bool CProtocol::ConnectPhase(int nEvent, int& nPhase) {
    switch (nPhase) {
        case 1:
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            if (!m_bAbort) {
                AddStatusLine(msg::kConnectedIloader);
            }
            ResetLine();
            nPhase = 2;
            return true;
        case 2: {
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            const std::uint8_t enq = ENQ;
            return Send(&enq, 1, 1, 3, nPhase);
        }
        case 3:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadTwoByte(EOT)) {
                    return false;
                }
                if (m_bAbort) {
                    nPhase = kPhaseAborted;
                    return true;
                }
                m_nRetry = m_nRetryCount;
                Disarm();
                nPhase = m_nBaudRate == 9600 ? 6 : 4;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                Purge(kPurgeAll);
                ResetAssembler();
                // The loader is probed every tick until it answers or the user aborts.
                nPhase = m_bAbort ? kPhaseAborted : 2;
                return true;
            }
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            return false;
        case 4:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            AddStatusLine(Format(GetString(msg::kChangeBaud).c_str(), m_nBaudRate));
            return Send(RateChangeFrame(), m_nReadTimeout, 5, nPhase);
        case 5:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadAnswer(kLoaderAnswer)) {
                    return false;
                }
                Disarm();
                nPhase = 6;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                AddStatusLine(msg::kTimeOut);
                return RetryTo(4, nPhase);
            }
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, true);
            }
            return false;
        case 6:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            AddStatusLine(msg::kConnectComplete);
            SwitchToConfiguredRate();
            nPhase = 7;
            return true;
    }
    return false;
}

// ---- Handshaking (CF operations) ---------------------------------------------------------------
//  1 line reset ─► 2 ">C" ─► 3 answer ─► 4 done.  Aborts only raise the flag.
bool CProtocol::Handshaking(int nEvent) {
    return RunCommand(m_nHandshakingPhase, 4, &CProtocol::HandshakingPhase, nEvent);
}

bool CProtocol::HandshakingPhase(int nEvent, int& nPhase) {
    TraceMessage("M", "  Handshaking nPhase = [%d]  nEvent = [%d] m_nError = [%d]\n", nPhase,
                 nEvent, m_nError);
    if (nEvent == EVENT_ABORT) {
        m_bAbort = true;
        if (nPhase == 3) {
            return false;
        }
    }
    switch (nPhase) {
        case 1:
            ResetLine();
            m_nRetry = m_nRetryCount;
            nPhase = 2;
            return true;
        case 2:
            return Send(Format("%c>C%c", DLE, CR), m_nReadTimeout, 3, nPhase);
        case 3:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadAnswer(kLoaderGated)) {
                    return false;
                }
                m_nRetry = m_nRetryCount;
                Disarm();
                nPhase = 4;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                AddStatusLine(msg::kTimeOut);
                return RetryTo(2, nPhase);
            }
            return false;
    }
    return false;
}

// ---- ChangeSIO (CF operations) ------------------------------------------------------------
//  1 purge, line reset ─(9600)─► 5     1 ─► 2 "<O2" ─► 3 answer ─► 4 switch, purge ─► 5
bool CProtocol::ChangeSIO(int nEvent) {
    return RunCommand(m_nChangeSIOPhase, 5, &CProtocol::ChangeSIOPhase, nEvent);
}

bool CProtocol::ChangeSIOPhase(int nEvent, int& nPhase) {
    TraceMessage("M", "  ChangeSIO nPhase = [%d]  nEvent = [%d] m_nError = [%d]\n", nPhase, nEvent,
                 m_nError);
    if (nEvent == EVENT_ABORT) {
        m_bAbort = true;
        if (nPhase == 3) {
            return false;
        }
    }
    switch (nPhase) {
        case 1:
            Purge(kPurgeAll);
            ResetLine();
            m_nRetry = m_nRetryCount;
            nPhase = m_nBaudRate == 9600 ? 5 : 2;
            return true;
        case 2:
            AddStatusLine(Format(GetString(msg::kChangeBaud).c_str(), m_nBaudRate));
            return Send(RateChangeFrame(), m_nReadTimeout, 3, nPhase);
        case 3:
            if (nEvent == EVENT_RECEIVED) {
                if (!ReadAnswer(kLoaderAnswer)) {
                    return false;
                }
                Disarm();
                nPhase = 4;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                AddStatusLine(msg::kTimeOut);
                return RetryTo(2, nPhase);
            }
            return false;
        case 4:
            SwitchToConfiguredRate();
            Purge(kPurgeAll);
            nPhase = 5;
            return true;
    }
    return false;
}

// ---- ReadHW -------------------------------------------------------------------------------
//  1 ─► 2 ">h" ─► 3 answer ─► 4 parse "x,coreid,from,dram,sram" from character 3 ─► 5
bool CProtocol::ReadHW(int nEvent) {
    return RunCommand(m_nReadHWPhase, 5, &CProtocol::ReadHWPhase, nEvent);
}

bool CProtocol::ReadHWPhase(int nEvent, int& nPhase) {
    TraceMessage("KZmnt", "CProtocol::ReadHW_Phase%d( %d , %d )\n", nPhase, nEvent, nPhase);
    switch (nPhase) {
        case 1:
            return BeginAttempts(nEvent, nPhase);
        case 2:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            return Send(Format("%c>h%c", DLE, CR), m_nReadTimeout, 3, nPhase);
        case 3:
            return WaitLoaderAnswer(nEvent, nPhase, 4, 2);
        case 4: {
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            m_csHW_CoreID.clear();
            m_dwFRomSize = m_dwDRamSize = m_dwSRamSize = 0;
            std::string_view answer = Answer();
            CFieldSplitter fields;
            fields.Split(answer.size() > 3 ? answer.substr(3) : std::string_view());
            m_csHW_CoreID = fields.Field(1);
            m_dwFRomSize = HexValue(fields.Field(2));
            m_dwDRamSize = HexValue(fields.Field(3));
            m_dwSRamSize = HexValue(fields.Field(4));
            TraceMessage("KZmnt", "  m_csHW_CoreID = [%s]\n", m_csHW_CoreID.c_str());
            TraceMessage("KZmnt", "  m_dwFRomSize  = [%X]\n", m_dwFRomSize);
            TraceMessage("KZmnt", "  m_dwDRamSize  = [%X]\n", m_dwDRamSize);
            TraceMessage("KZmnt", "  m_dwSRamSize  = [%X]\n", m_dwSRamSize);
            if (DebugStatusOn()) {
                AddStatusLine(Format("Read FROM  = [%X]", m_dwFRomSize));
                AddStatusLine(Format("Read SRAM  = [%X]", m_dwSRamSize));
            }
            nPhase = 5;
            return true;
        }
    }
    return false;
}

// Wait phase shared by the loader-family queries: answer → next; time-out → "Time Out",
// retry from retryPhase; abort → purge, 4001.
bool CProtocol::WaitLoaderAnswer(int nEvent, int& nPhase, int nextPhase, int retryPhase) {
    if (nEvent == EVENT_RECEIVED) {
        if (!ReadAnswer(kLoaderAnswer)) {
            return false;
        }
        Disarm();
        nPhase = nextPhase;
        return true;
    }
    if (nEvent == EVENT_TIMEOUT) {
        AddStatusLine(msg::kTimeOut);
        return RetryTo(retryPhase, nPhase);
    }
    if (nEvent == EVENT_ABORT) {
        return AbortImmediate(nPhase, true);
    }
    return false;
}

// ---- ReadSignature ------------------------------------------------------------------------
//  1 ─► 2 ">K " (kind 1) or ">X" (kind 2) ─► 3 answer ─► 4 value ─► 5
bool CProtocol::ReadSignature(int nEvent) {
    return RunCommand(m_nReadSignaturePhase, 5, &CProtocol::ReadSignaturePhase, nEvent);
}

bool CProtocol::ReadSignaturePhase(int nEvent, int& nPhase) {
    switch (nPhase) {
        case 1:
            return BeginAttempts(nEvent, nPhase);
        case 2:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            if (m_nSignatureKind == 1) {
                return Send(Format("%c>K %c", DLE, CR), m_nReadTimeout, 3, nPhase);
            }
            if (m_nSignatureKind == 2) {
                return Send(Format("%c>X%c", DLE, CR), m_nReadTimeout, 3, nPhase);
            }
            nPhase = kPhaseWriteFailed;
            return true;
        case 3:
            return WaitLoaderAnswer(nEvent, nPhase, 4, 2);
        case 4: {
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            m_dwSignature = 0;
            std::string_view answer = Answer();
            CFieldSplitter fields;
            if (m_nSignatureKind == 1 && answer.size() > 2) {
                fields.Split(answer.substr(2));
                m_dwSignature = HexValue(fields.Field(0));
            } else if (m_nSignatureKind == 2 && answer.size() > 3) {
                fields.Split(answer.substr(3));
                m_dwSignature = HexValue(fields.Field(8));
            }
            if (DebugStatusOn()) {
                AddStatusLine(Format("Signature %d = [%X]", m_nSignatureKind, m_dwSignature));
            }
            nPhase = 5;
            return true;
        }
    }
    return false;
}

}  // namespace kz
