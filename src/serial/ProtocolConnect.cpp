// Connection and identification commands: they bring a panel from its power-on state to a
// working link with the transfer loader, and identify it.
//
//   Password ─► ReadCoreID ─► (model lookup) ─► DownloadILOADER ─► ConnectILOADER
//            ─► ReadSignature ─► (I/O code) ─► ReadHW ─► memory transfers ─► Reset
//   CF operations: Handshaking ─► ChangeSIO ─► CF transfers ─► Quit
//
// Each command is a numbered-phase state machine run by RunCommand(); the phase tables in
// the comments give the transitions.
#include <optional>

#include "config/IniFile.h"
#include "config/StringTable.h"
#include "diag/DebugLog.h"
#include "diag/Trace.h"
#include "platform/Format.h"
#include "serial/LoaderFile.h"
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
    return LoaderFrame('<', "O" + body + ChecksumText(body));
}

// ---- Password ----------------------------------------------------------------------------
//  1 kPwStart ─► 2 kPwProbe: line reset, ">C" ─► 3 kPwProbeAnswer ─► 4 kPwAskProtection:
//  ">LS00008" ─► 5 kPwProtectionAnswer ─► 6 kPwCheckProtection ─ not protected ─► 10 kPwDone
//  6 ─► 7 kPwSendPassword: ask the user, ">P..." ─► 8 kPwPasswordAnswer ─► 9 kPwCheckAccepted
//  9 accepted ─► 10;  3 silent until the retries are used up (no password in use) ─► 10
//  7 cancelled / 9 refused too often ─► ">Q" ─► 11 kPwQuitAnswer (or time-out)
//  11 ─► msg::kAborted (cancelled) / msg::kPasswordRetry (refused)
//  The quit answer is taken off the line here: left unread, it would be paired with a
//  request of the next run. Phases 5 and 8 wait on past answers that belong to another
//  request, so only the panel's own answer to ">LS00008" decides whether it is protected.
namespace {
constexpr int kPwStart = 1;
constexpr int kPwProbe = 2;
constexpr int kPwProbeAnswer = 3;
constexpr int kPwAskProtection = 4;
constexpr int kPwProtectionAnswer = 5;
constexpr int kPwCheckProtection = 6;
constexpr int kPwSendPassword = 7;
constexpr int kPwPasswordAnswer = 8;
constexpr int kPwCheckAccepted = 9;
constexpr int kPwDone = 10;
constexpr int kPwQuitAnswer = 11;

// The password travels as 24 bytes, each raised by 10, padded with (raised) zeros.
std::string PasswordCommand(const std::string& password) {
    std::string command = "P";
    for (int i = 0; i < kPasswordLength; ++i) {
        const std::uint8_t byte =
            i < static_cast<int>(password.size()) ? static_cast<std::uint8_t>(password[i]) : 0;
        command += static_cast<char>(static_cast<std::uint8_t>(byte + 10));
    }
    return command;
}
}  // namespace

bool CProtocol::Password(int nEvent) {
    return RunCommand(m_nPasswordPhase, kPwDone, &CProtocol::PasswordPhase, nEvent);
}

bool CProtocol::PasswordPhase(int nEvent, int& nPhase) {
    switch (nPhase) {
        case kPwStart:
            m_nRetry = RetryOrThree(m_nRetryCount);
            nPhase = kPwProbe;
            return true;
        case kPwProbe:
            ResetLine();
            return Send(LoaderFrame('>', "C"), kPasswordTicks, kPwProbeAnswer, nPhase);
        case kPwProbeAnswer:
            return PasswordProbeAnswer(nEvent, nPhase);
        case kPwAskProtection:
            return Send(LoaderFrame('>', "LS00008"), m_nReadTimeout, kPwProtectionAnswer, nPhase);
        case kPwProtectionAnswer:
            return AwaitAnswer(nEvent, nPhase,
                               {.next = kPwCheckProtection,
                                .retry = kPwAskProtection,
                                .frame = kLoaderGated,
                                .echo = "<LS",
                                .line = TimeOutLine::None});
        case kPwCheckProtection:
            if (Answer().substr(0, 8) == "<LS00008") {
                m_nRetry = m_nRetryCount;
                nPhase = kPwSendPassword;
            } else {
                nPhase = kPwDone;  // no password needed
            }
            return true;
        case kPwSendPassword:
            return SendPassword(nPhase);
        case kPwPasswordAnswer:
            return AwaitAnswer(nEvent, nPhase,
                               {.next = kPwCheckAccepted,
                                .retry = kPwSendPassword,
                                .frame = kLoaderGated,
                                .echo = "<P",
                                .line = TimeOutLine::None});
        case kPwCheckAccepted:
            return CheckPasswordAccepted(nPhase);
        case kPwQuitAnswer:
            return EndPasswordExchange(nEvent, nPhase);
    }
    return false;
}

// The panel's answer to ">C". Silence until the retries are used up means the panel does
// not use a password: the command ends without an error.
bool CProtocol::PasswordProbeAnswer(int nEvent, int& nPhase) {
    if (nEvent != EVENT_TIMEOUT) {
        return AwaitAnswer(nEvent, nPhase,
                           {.next = kPwAskProtection,
                            .retry = kPwProbe,
                            .frame = kLoaderGated,
                            .reloadRetries = true});
    }
    Purge(kPurgeAll);
    ResetAssembler();
    --m_nRetry;
    TraceRetry(nPhase, m_nRetry < 0 ? kNoRetry : kPwProbe,
               "no answer to the password probe in time");
    if (m_nRetry < 0) {
        TraceMessage("KZmnt", "Password retry Over\n");
        Disarm();
        nPhase = kPwDone;
        return true;
    }
    TraceMessage("KZmnt", "Password Timeout\n");
    nPhase = kPwProbe;
    return true;
}

// Asks the user; an empty answer (Cancel) ends the exchange with msg::kAborted.
bool CProtocol::SendPassword(int& nPhase) {
    m_csPassword.clear();
    RequestFromView(WM_PASSWORD_REQUEST);
    if (m_csPassword.empty()) {
        return QuitPasswordExchange(msg::kAborted, nPhase);
    }
    return Send(LoaderFrame('>', PasswordCommand(m_csPassword)), m_nReadTimeout, kPwPasswordAnswer,
                nPhase);
}

// "<P0" accepts the password; another answer asks again while retries are left.
bool CProtocol::CheckPasswordAccepted(int& nPhase) {
    std::string_view answer = Answer();
    if (answer.size() > 3 && answer[3] == '0') {
        Disarm();
        nPhase = kPwDone;
        return true;
    }
    --m_nRetry;
    TraceRetry(nPhase, m_nRetry >= 1 ? kPwSendPassword : kNoRetry, "password refused");
    if (m_nRetry >= 1) {
        // Said before the dialog asks again, so the user knows why it does.
        AddStatusLine(msg::kPasswordWrong);
        nPhase = kPwSendPassword;
        return true;
    }
    return QuitPasswordExchange(msg::kPasswordRetry, nPhase);
}

// Sends ">Q"; the command ends with errorId once its answer (or a time-out) has come.
bool CProtocol::QuitPasswordExchange(int errorId, int& nPhase) {
    m_nPasswordOutcome = errorId;
    return SendUnchecked(LoaderFrame('>', "Q"), m_nReadTimeout, kPwQuitAnswer, nPhase);
}

// The quit answer, or silence: either way the command ends as decided.
bool CProtocol::EndPasswordExchange(int nEvent, int& nPhase) {
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
    nPhase = kPhaseFirst;
    return false;
}

// ---- ReadCoreID ----------------------------------------------------------------------------
//  1 kIdStart: line reset ─► 2 kIdProbe: ENQ (1 tick) ─► 3 kIdProbeAnswer: ETX SUB?
//  3 yes ─► 4 kIdAsk: "MID" ─► 5 kIdAnswer ─► 6 kIdCheck: checksum ─► 7 kIdDone
//  3 (Retry or 3) × 10 silent ticks ─► 31 kIdPowerResetDialog
//  31 ─► 32 kIdWaitCtsOff ─► 33 kIdWaitCtsOn ─► 1
//  A device without modem lines cannot show the power cycle: 31 ─► 34 kIdProbeDuringReset
//  keeps probing with ENQ while the dialog is up and starts over as soon as the panel
//  answers.
namespace {
constexpr int kIdStart = 1;
constexpr int kIdProbe = 2;
constexpr int kIdProbeAnswer = 3;
constexpr int kIdAsk = 4;
constexpr int kIdAnswer = 5;
constexpr int kIdCheck = 6;
constexpr int kIdDone = 7;
constexpr int kIdPowerResetDialog = 31;
constexpr int kIdWaitCtsOff = 32;
constexpr int kIdWaitCtsOn = 33;
constexpr int kIdProbeDuringReset = 34;
}  // namespace

bool CProtocol::ReadCoreID(int nEvent) {
    return RunCommand(m_nReadCoreIDPhase, kIdDone, &CProtocol::ReadCoreIDPhase, nEvent);
}

bool CProtocol::ReadCoreIDPhase(int nEvent, int& nPhase) {
    switch (nPhase) {
        case kIdStart:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            AddStatusLine(msg::kEstablishLink);
            ResetLine();
            m_nRetry = RetryOrThree(m_nRetryCount) * 10;
            m_bAbort = false;
            nPhase = kIdProbe;
            return true;
        case kIdProbe: {
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            const std::uint8_t enq = ENQ;
            return Send(&enq, 1, 1, kIdProbeAnswer, nPhase);
        }
        case kIdProbeAnswer:
            return CoreIdProbeAnswer(nEvent, nPhase);
        case kIdPowerResetDialog:
            return ShowPowerResetDialog(nPhase);
        case kIdWaitCtsOff:
        case kIdWaitCtsOn:
            return WatchPowerResetCts(nEvent, nPhase);
        case kIdProbeDuringReset:
            return ProbeDuringPowerReset(nEvent, nPhase);
        case kIdAsk:
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            AddStatusLine(msg::kCoreIdCheck);
            return Send(FirmwareFrame("MID"), m_nReadTimeout, kIdAnswer, nPhase);
        case kIdAnswer:
            return AwaitAnswer(nEvent, nPhase,
                               {.next = kIdCheck,
                                .retry = kIdAsk,
                                .frame = kFirmwareGated,
                                .line = TimeOutLine::None,
                                .abort = OnAbort::Defer,
                                .abortFlagEnds = true});
        case kIdCheck:
            return CheckCoreIdAnswer(nPhase);
    }
    return false;
}

// ETX SUB answers the probe. Each silent tick counts; when they are used up the user is
// asked to switch the unit off and on.
bool CProtocol::CoreIdProbeAnswer(int nEvent, int& nPhase) {
    if (nEvent != EVENT_TIMEOUT) {
        return AwaitAnswer(nEvent, nPhase,
                           {.next = kIdAsk,
                            .retry = kIdProbe,
                            .twoByte = ETX,
                            .abort = OnAbort::Defer,
                            .reloadRetries = true});
    }
    Purge(kPurgeAll);
    ResetAssembler();
    if (m_bAbort) {
        nPhase = kPhaseAborted;
        return true;
    }
    --m_nRetry;
    TraceRetry(nPhase, m_nRetry > 0 ? kIdProbe : kNoRetry, "no answer to the identification probe");
    nPhase = m_nRetry > 0 ? kIdProbe : kIdPowerResetDialog;
    return true;
}

// The core ID sits at characters 8 to 11; a shorter answer cannot carry one even when its
// checksum holds.
bool CProtocol::CheckCoreIdAnswer(int& nPhase) {
    std::string_view answer = Answer();
    const bool good = answer.size() >= 14 && ChecksumText(answer.substr(0, answer.size() - 2)) ==
                                                 answer.substr(answer.size() - 2);
    if (good) {
        if (DebugStatusOn()) {
            AddStatusLine(Format("Read CoreID = [%4.4s]", answer.data() + 8));
        }
        nPhase = kIdDone;
        return true;
    }
    m_nRecvPos = 0;
    return NextAttempt(kIdAsk, nPhase, "identification answer without a core ID");
}

bool CProtocol::ShowPowerResetDialog(int& nPhase) {
    // Cleared before the dialog can exist, so a quick Cancel is never lost.
    m_bPowerResetCancel = false;
    m_dwPowerResetStart = TickCount();
    PostToView(WM_POWER_RESET_DIALOG, 1);
    Arm(1);
    nPhase = HasModemLines() ? kIdWaitCtsOff : kIdProbeDuringReset;
    return false;
}

// Every tick: CTS going off, then on again, is the power cycle; the link starts over.
bool CProtocol::WatchPowerResetCts(int nEvent, int& nPhase) {
    if (nEvent != EVENT_TIMEOUT) {
        return false;
    }
    if (EndPowerResetWait(nPhase)) {
        return m_nError == 0;
    }
    std::uint32_t status = 0;
    GetModemStatus(status);
    const bool ctsOn = (status & platform::MS_CTS_ON) != 0;
    if (nPhase == kIdWaitCtsOff && !ctsOn) {
        nPhase = kIdWaitCtsOn;
    } else if (nPhase == kIdWaitCtsOn && ctsOn) {
        PostToView(WM_POWER_RESET_DIALOG, 0);
        nPhase = kIdStart;
    }
    Arm(1);
    return false;
}

bool CProtocol::ProbeDuringPowerReset(int nEvent, int& nPhase) {
    if (nEvent == EVENT_RECEIVED) {
        if (ReadTwoByte(ETX)) {
            PostToView(WM_POWER_RESET_DIALOG, 0);
            nPhase = kIdStart;
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
    const std::uint8_t enq = ENQ;
    Write(&enq, 1);
    Arm(kPowerResetProbeTicks);
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
    nPhase = kPhaseFirst;
    return true;
}

std::string CProtocol::CoreIdFromAnswer() const {
    std::string_view answer = Answer();
    if (answer.size() < 12) {
        return {};
    }
    return std::string(answer.substr(8, 4));
}

// ---- DownloadILOADER -------------------------------------------------------------------------
//  1 kDlStart ─► 2 kDlLineReset ─(9600)─► 5
//  2 ─► 3 kDlAskRate: "COM2" rate change ─► 4 kDlRateAnswer (read after 2 s) ─► 5
//  5 kDlSendLoader: switch rate, loader frame, first piece ─► 51 kDlLoaderPump
//  51 ─► 6 kDlLoaderAnswer ─► 7 kDlAskStart: "PGO" ─► 8 kDlStartAnswer
//  8 ─► 9 kDlLoaderStarts: wait 3 s ─► 10 kDlDone
//  Time-outs of 4, 6 and 8 start again from 2.
// Aborts are deferred: only phase 4's time-out acts on them; otherwise ConnectILOADER does.
namespace {
constexpr int kDlStart = 1;
constexpr int kDlLineReset = 2;
constexpr int kDlAskRate = 3;
constexpr int kDlRateAnswer = 4;
constexpr int kDlSendLoader = 5;
constexpr int kDlLoaderAnswer = 6;
constexpr int kDlAskStart = 7;
constexpr int kDlStartAnswer = 8;
constexpr int kDlLoaderStarts = 9;
constexpr int kDlDone = 10;
constexpr int kDlLoaderPump = 51;
}  // namespace

bool CProtocol::DownloadILOADER(int nEvent) {
    return RunCommand(m_nDownloadPhase, kDlDone, &CProtocol::DownloadPhase, nEvent);
}

bool CProtocol::BuildLoaderFrame() {
    const std::string path = LoaderFilePath(m_csLoaderName);
    TraceMessage("  KZmnt", "  ILOADER = [%s]\n", path.c_str());
    LoaderFileFault fault = LoaderFileFault::None;
    std::optional<LoaderImage> image = ReadLoaderFile(path, kLoaderFileLimit, &fault);
    if (!image) {
        if (fault == LoaderFileFault::CannotOpen && DebugStatusOn()) {
            AddStatusLine(Format("ILOADER = [%s]", path.c_str()));
        }
        return false;
    }
    TraceMessage("  KZmnt", "  FileSize = [%x]\n",
                 static_cast<unsigned>(image->program.size() + 4));
    m_csLoaderAddress = Format("%08X", image->address);
    m_loaderFrame =
        FirmwareFrame("PLD" + m_csLoaderAddress +
                          Format("%08X", static_cast<std::uint32_t>(image->program.size())),
                      image->program);
    m_nWriteSize = static_cast<std::uint32_t>(m_loaderFrame.size());
    m_bSendAbort = false;
    m_nRecvPos = 0;
    return true;
}

bool CProtocol::DownloadPhase(int nEvent, int& nPhase) {
    if (nEvent == EVENT_ABORT && nPhase != kDlLoaderPump) {
        AbortDeferred();
        if (nPhase == kDlRateAnswer || nPhase == kDlLoaderAnswer || nPhase == kDlStartAnswer) {
            return false;  // a waiting phase keeps waiting
        }
    }
    switch (nPhase) {
        case kDlStart:
            AddStatusLine(msg::kIloaderDownload);
            m_nRetry = m_nRetryCount;
            nPhase = kDlLineReset;
            return true;
        case kDlLineReset:
            ResetLine();
            nPhase = m_nBaudRate == 9600 ? kDlSendLoader : kDlAskRate;
            return true;
        case kDlAskRate:
            return Send(FirmwareFrame(Format("COM2%c0000", RateCode(m_nBaudRate))), m_nReadTimeout,
                        kDlRateAnswer, nPhase);
        case kDlRateAnswer:
            return RateChangeAnswer(nEvent, nPhase);
        case kDlSendLoader:
            return StartLoaderSend(nPhase);
        case kDlLoaderPump:
            return PumpLoaderSend(nEvent, nPhase);
        case kDlLoaderAnswer:
            return AwaitAnswer(nEvent, nPhase,
                               {.next = kDlAskStart,
                                .retry = kDlLineReset,
                                .frame = kFirmwareAnswer,
                                .abort = OnAbort::Elsewhere});
        case kDlAskStart:
            return Send(FirmwareFrame("PGO" + m_csLoaderAddress), m_nReadTimeout, kDlStartAnswer,
                        nPhase);
        case kDlStartAnswer:
            return AwaitAnswer(nEvent, nPhase,
                               {.next = kDlLoaderStarts,
                                .retry = kDlLineReset,
                                .frame = kFirmwareAnswer,
                                .abort = OnAbort::Elsewhere});
        case kDlLoaderStarts:
            Sleep(3000);
            nPhase = kDlDone;
            return true;
    }
    return false;
}

// The firmware's answer to the rate change: six characters, the fourth '0' when it agreed.
bool CProtocol::RateChangeAnswer(int nEvent, int& nPhase) {
    if (nEvent != EVENT_RECEIVED) {
        return AwaitAnswer(nEvent, nPhase,
                           {.next = kDlSendLoader,
                            .retry = kDlLineReset,
                            .frame = kFirmwareNoLoneSub,
                            .abort = OnAbort::Elsewhere,
                            .abortFlagEnds = true});
    }
    // The firmware needs time to answer and switch; read after it has settled.
    Sleep(2000);
    if (!ReadAnswer(kFirmwareNoLoneSub)) {
        return false;
    }
    std::string_view answer = Answer();
    if (answer.size() == 6 && answer[3] == '0') {
        Arm(m_nReadTimeout);
        nPhase = kDlSendLoader;
        return true;
    }
    return NextAttempt(kDlLineReset, nPhase, "rate change refused");
}

bool CProtocol::StartLoaderSend(int& nPhase) {
    SwitchToConfiguredRate();
    if (!BuildLoaderFrame()) {
        m_nError = msg::kIloaderRead;
        nPhase = kPhaseFirst;
        return false;
    }
    nPhase = kDlLoaderPump;
    std::uint32_t remaining = 0;
    if (!StartPump(reinterpret_cast<const std::uint8_t*>(m_loaderFrame.data()), m_nWriteSize,
                   remaining)) {
        m_loaderFrame.clear();
        nPhase = kPhaseWriteFailed;
        return true;
    }
    m_nSendSize = remaining;
    return false;
}

// The loader goes out whole: an abort is only noted, and acts once ConnectILOADER runs.
bool CProtocol::PumpLoaderSend(int nEvent, int& nPhase) {
    if (nEvent == EVENT_ABORT) {
        AbortDeferred();
        return false;
    }
    if (nEvent != EVENT_SENT && nEvent != EVENT_LINE_ERROR) {
        return false;
    }
    switch (PumpStep(reinterpret_cast<const std::uint8_t*>(m_loaderFrame.data()), m_nWriteSize,
                     m_nSendSize, nullptr)) {
        case PumpState::Waiting:
            return false;
        case PumpState::WriteFailed:
            m_loaderFrame.clear();
            nPhase = kPhaseWriteFailed;
            return true;
        case PumpState::Done:
            m_loaderFrame.clear();
            Arm(m_nReadTimeout);
            m_nRecvPos = 0;
            ResetAssembler();
            nPhase = kDlLoaderAnswer;
            return false;
    }
    return false;
}

// ---- ConnectILOADER ----------------------------------------------------------------------------
//  1 kCnLineReset ─► 2 kCnProbe: ENQ every tick ─► 3 kCnProbeAnswer: EOT SUB
//  3 ─(9600)─► 6 kCnSwitchRate ─► 7 kCnDone
//  3 ─► 4 kCnAskRate: "<O2" rate change ─► 5 kCnRateAnswer ─► 6 ─► 7
namespace {
constexpr int kCnLineReset = 1;
constexpr int kCnProbe = 2;
constexpr int kCnProbeAnswer = 3;
constexpr int kCnAskRate = 4;
constexpr int kCnRateAnswer = 5;
constexpr int kCnSwitchRate = 6;
constexpr int kCnDone = 7;
}  // namespace

bool CProtocol::ConnectILOADER(int nEvent) {
    return RunCommand(m_nConnectPhase, kCnDone, &CProtocol::ConnectPhase, nEvent);
}

bool CProtocol::ConnectPhase(int nEvent, int& nPhase) {
    switch (nPhase) {
        case kCnLineReset:
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            if (!m_bAbort) {
                AddStatusLine(msg::kConnectedIloader);
            }
            ResetLine();
            m_dwLoaderProbeStart = TickCount();
            nPhase = kCnProbe;
            return true;
        case kCnProbe: {
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            const std::uint8_t enq = ENQ;
            return Send(&enq, 1, 1, kCnProbeAnswer, nPhase);
        }
        case kCnProbeAnswer:
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
                nPhase = m_nBaudRate == 9600 ? kCnSwitchRate : kCnAskRate;
                return true;
            }
            if (nEvent == EVENT_TIMEOUT) {
                Purge(kPurgeAll);
                ResetAssembler();
                // The loader is probed every tick until it answers or the user aborts. Without
                // a user who could abort, the bound of the power-reset wait ends the probe as a
                // panel that never answered.
                if (const std::uint32_t limit = m_nPowerResetLimitMs;
                    !m_bAbort && limit != 0 && TickCount() - m_dwLoaderProbeStart >= limit) {
                    Disarm();
                    m_nError = msg::kCheckPower;
                    nPhase = kPhaseFirst;
                    return false;
                }
                nPhase = m_bAbort ? kPhaseAborted : kCnProbe;
                return true;
            }
            if (nEvent == EVENT_ABORT) {
                AbortDeferred();
            }
            return false;
        case kCnAskRate:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            AddStatusLine(Format(GetString(msg::kChangeBaud).c_str(), m_nBaudRate));
            return Send(RateChangeFrame(), m_nReadTimeout, kCnRateAnswer, nPhase);
        case kCnRateAnswer:
            return AwaitAnswer(nEvent, nPhase, {.next = kCnSwitchRate, .retry = kCnAskRate});
        case kCnSwitchRate:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            AddStatusLine(msg::kConnectComplete);
            SwitchToConfiguredRate();
            nPhase = kCnDone;
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
            return Send(LoaderFrame('>', "C"), m_nReadTimeout, 3, nPhase);
        case 3:
            return AwaitAnswer(nEvent, nPhase,
                               {.next = 4,
                                .retry = 2,
                                .frame = kLoaderGated,
                                .abort = OnAbort::Elsewhere,
                                .reloadRetries = true});
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
            return AwaitAnswer(nEvent, nPhase,
                               {.next = 4, .retry = 2, .abort = OnAbort::Elsewhere});
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
    return QuestionPhase(nEvent, nPhase, LoaderFrame('>', "h"), true,
                         &CProtocol::UseHardwareAnswer);
}

void CProtocol::UseHardwareAnswer() {
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
}

// ---- ReadSignature ------------------------------------------------------------------------
//  1 ─► 2 ">K " (kind 1) or ">X" (kind 2) ─► 3 answer ─► 4 value ─► 5
bool CProtocol::ReadSignature(int nEvent) {
    return RunCommand(m_nReadSignaturePhase, 5, &CProtocol::ReadSignaturePhase, nEvent);
}

bool CProtocol::ReadSignaturePhase(int nEvent, int& nPhase) {
    // Kind 1 asks ">K ", kind 2 ">X"; any other kind cannot be asked.
    const std::string frame = m_nSignatureKind == 1   ? LoaderFrame('>', "K ")
                              : m_nSignatureKind == 2 ? LoaderFrame('>', "X")
                                                      : std::string();
    return QuestionPhase(nEvent, nPhase, frame, true, &CProtocol::UseSignatureAnswer);
}

void CProtocol::UseSignatureAnswer() {
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
}

}  // namespace kz
