// Memory and I/O transfer commands, run once the loader is connected: ReadData and
// WriteData move one block of panel memory, ReadIO and WriteIO one I/O register, Reset
// restarts the panel at the end of a memory operation and Quit ends a CF operation's link.
//
//   ReadData   1 ─► 2 ">m" ─► 3 answer ─► 4 ACK ─► 5 block + checksum ─► 6 ─► 7 done
//   WriteData  1 ─► 2 "<m" ─► 3 ACK SUB ─► 4 first piece ─► 41 send pump ─► 5 answer ─► 6 ─► 7
//   After a silent time-out both re-synchronise: 11 kResyncStart: purge, line reset
//   ─► 12 kResyncAskRate: rate change ─► 13 kResyncRateAnswer ─► 14 kResyncSwitchRate
//   ─► 2 (the command again). WriteData's 41 is kWdSendPump.
//   Reset      1 ─► 2 ">q" ─► 3 answer ─► 4 done; after an error that ended the run early:
//              1 ─► 5 kResetQuiet: drain until the line is quiet ─► ">q" ─► 3 ─► 4
#include <algorithm>

#include "config/IniFile.h"
#include "config/StringTable.h"
#include "diag/DebugLog.h"
#include "diag/Trace.h"
#include "platform/Format.h"
#include "serial/Protocol.h"

namespace kz {

namespace {
constexpr int kResyncStart = 11;
constexpr int kResyncAskRate = 12;
constexpr int kResyncRateAnswer = 13;
constexpr int kResyncSwitchRate = 14;
constexpr int kResendCommand = 2;  // where a re-synchronisation ends
constexpr int kWdSendPump = 41;
constexpr int kResetQuiet = 5;
// The silence that shows the panel has stopped sending, and the most the reset waits for it
// when the read time-out sets no bound.
constexpr int kQuietTicks = 10;
constexpr std::uint32_t kQuietLimitMs = 3000;
}  // namespace

// ---- Re-synchronisation (phases 11-14 of ReadData and WriteData) ---------------------------

bool CProtocol::ResyncPhase(int nEvent, int& nPhase) {
    switch (nPhase) {
        case kResyncStart:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            Purge(kPurgeAll);
            ResetLine();
            nPhase = m_nBaudRate == 9600 ? kResyncSwitchRate : kResyncAskRate;
            return true;
        case kResyncAskRate:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            AddStatusLine(Format(GetString(msg::kChangeBaud).c_str(), m_nBaudRate));
            return Send(RateChangeFrame(), m_nReadTimeout, kResyncRateAnswer, nPhase);
        case kResyncRateAnswer:
            return AwaitAnswer(nEvent, nPhase, {.next = kResyncSwitchRate, .retry = kResyncStart});
        case kResyncSwitchRate:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            SwitchToConfiguredRate();
            nPhase = kResendCommand;
            return true;
    }
    return false;
}

// ---- ReadData ------------------------------------------------------------------------------

bool CProtocol::ReadData(int nEvent) {
    return RunCommand(m_nReadDataPhase, 7, &CProtocol::ReadDataPhase, nEvent);
}

bool CProtocol::ReadDataPhase(int nEvent, int& nPhase) {
    if (nPhase >= kResyncStart && nPhase <= kResyncSwitchRate) {
        return ResyncPhase(nEvent, nPhase);
    }
    switch (nPhase) {
        case 1:
            return BeginAttempts(nEvent, nPhase);
        case 2:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            TraceMessage("KZmnt", "  CProtocol::ReadData_Phase2 = [%d] , [%d]\n", nEvent, nPhase);
            TraceMessage("KZmnt", "    [Address=%08X , Size=%x]\n", m_dwReadAddress, m_nReadSize);
            return SendUnchecked(
                LoaderFrame('>', Format("m%08X%08X", m_dwReadAddress, m_nReadSize)), m_nReadTimeout,
                3, nPhase);
        case 3:
            return AwaitAnswer(
                nEvent, nPhase,
                {.next = 4, .retry = kResyncStart, .line = TimeOutLine::UnlessLineError});
        case 4: {
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            Purge(kPurgeAll);
            const std::uint8_t ack = ACK;
            return Send(&ack, 1, m_nReadTimeout, 5, nPhase);
        }
        case 5:
            if (nEvent == EVENT_RECEIVED) {
                // The block arrives straight into the receive buffer; each read asks only for
                // what is still missing, so nothing beyond the block is taken.
                const std::uint32_t want = static_cast<std::uint32_t>(m_nReadSize) + 2;
                if (want > kRecvBufferSize) {
                    nPhase = 1;
                    Disarm();
                    m_nError = msg::kRetryOver;
                    return false;
                }
                while (m_nRecvPos < want) {
                    std::uint32_t n =
                        ReadInput(m_pchRecvBuff.get() + m_nRecvPos, want - m_nRecvPos);
                    if (n == 0) {
                        return false;
                    }
                    m_nRecvPos += n;
                }
                char cs[2];
                Checksum(m_pchRecvBuff.get(), static_cast<std::size_t>(m_nReadSize), cs);
                if (cs[0] == static_cast<char>(m_pchRecvBuff[m_nReadSize]) &&
                    cs[1] == static_cast<char>(m_pchRecvBuff[m_nReadSize + 1])) {
                    Disarm();
                    nPhase = 6;
                    return true;
                }
                Purge(kPurgeAll);
                AddStatusLine(msg::kDataError);
                return NextAttempt(2, nPhase, "bad checksum of the data read");
            }
            if (nEvent == EVENT_TIMEOUT) {
                // Errors the driver holds but no read has collected yet count too.
                std::uint32_t pending = 0;
                platform::QueueStatus queues;
                ClearError(pending, queues);
                const bool lineError = (m_nLineError | pending) != 0;
                if (!lineError) {
                    AddStatusLine(msg::kTimeOut);
                }
                Purge(kPurgeAll);
                --m_nRetry;
                TraceRetry(nPhase,
                           m_nRetry < 0 ? kNoRetry
                           : lineError  ? 2
                                        : kResyncStart,
                           lineError ? "line error while reading data" : "data not read in time");
                if (m_nRetry >= 0) {
                    nPhase = lineError ? 2 : kResyncStart;
                    return true;
                }
                if (lineError) {
                    // Line errors persist: the operation may continue with smaller packets.
                    if (ChangeReadSize()) {
                        Disarm();
                        nPhase = 1;
                        return true;
                    }
                }
                // No smaller packet size is left, or the panel went silent.
                nPhase = 1;
                Disarm();
                m_nError = msg::kRetryOver;
                return false;
            }
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, true);
            }
            return false;
        case 6:
            if (nEvent == EVENT_ABORT) {
                nPhase = kPhaseAborted;
                return true;
            }
            nPhase = 7;
            return true;
    }
    return false;
}

// ---- WriteData -----------------------------------------------------------------------------

bool CProtocol::WriteData(int nEvent) {
    return RunCommand(m_nWriteDataPhase, 7, &CProtocol::WriteDataPhase, nEvent);
}

bool CProtocol::WriteDataPhase(int nEvent, int& nPhase) {
    if (nPhase >= kResyncStart && nPhase <= kResyncSwitchRate) {
        return ResyncPhase(nEvent, nPhase);
    }
    if (nPhase >= 2 && nPhase <= 5) {
        TraceMessage("KZmnt", "CProtocol::WriteData_Phase%d = [%d] , [%d]\n", nPhase, nEvent,
                     nPhase);
    } else if (nPhase == kWdSendPump) {
        TraceMessage("KZmnt", "CProtocol::WriteData_Phase41 = [%d] , [%d]\n", nEvent, nPhase);
    }
    switch (nPhase) {
        case 1:
            return BeginAttempts(nEvent, nPhase);
        case 2:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            return SendUnchecked(
                LoaderFrame('<', Format("m%08X%08X", m_dwWriteAddress, m_nWriteDataSize)),
                m_nWriteTimeout, 3, nPhase);
        case 3:
            return AwaitAnswer(nEvent, nPhase, {.next = 4, .retry = kResyncStart, .twoByte = ACK});
        case 4: {
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            const std::uint32_t size = static_cast<std::uint32_t>(m_nWriteDataSize);
            Checksum(m_pchWriteBuff, size, reinterpret_cast<char*>(m_pchWriteBuff + size));
            m_bSendAbort = false;
            nPhase = kWdSendPump;
            if (!StartPump(m_pchWriteBuff, size + 2, m_nWriteSize)) {
                nPhase = kPhaseWriteFailed;
                return true;
            }
            TraceMessage("KZmnt", "  m_nWriteSize = [%d]\n", static_cast<int>(size + 2));
            return false;
        }
        case kWdSendPump:
            if (nEvent == EVENT_ABORT) {
                // The loader must never see half a block followed by a new command: the
                // block goes out whole and the abort takes effect at its answer.
                m_bSendAbort = true;
                AddStatusLine(msg::kDiscontinuation);
                AddStatusLine(msg::kPleaseWait);
                return false;
            }
            if (nEvent == EVENT_SENT || nEvent == EVENT_LINE_ERROR) {
                const std::uint32_t total = static_cast<std::uint32_t>(m_nWriteDataSize) + 2;
                switch (PumpStep(m_pchWriteBuff, total, m_nWriteSize, "  cs.cbOutQue = [%d]\n")) {
                    case PumpState::Waiting:
                        return false;
                    case PumpState::WriteFailed:
                        nPhase = kPhaseWriteFailed;
                        return true;
                    case PumpState::Done:
                        Arm(m_nWriteTimeout);
                        m_nRecvPos = 0;
                        ResetAssembler();
                        nPhase = 5;
                        return false;
                }
            }
            return false;
        case 5:
            if (nEvent == EVENT_RECEIVED) {
                return AwaitAnswer(nEvent, nPhase, {.next = 6, .retry = kResyncStart});
            }
            if (nEvent == EVENT_TIMEOUT) {
                Purge(kPurgeAll);
                if (m_bSendAbort) {
                    m_nRecvPos = 0;
                    nPhase = 6;
                    return true;
                }
                AddStatusLine(msg::kTimeOut);
                return RetryTo(kResyncStart, nPhase, "write not answered in time");
            }
            if (nEvent == EVENT_ABORT) {
                Purge(kPurgeAll);
                m_bSendAbort = true;
            }
            return false;
        case 6: {
            if (nEvent == EVENT_ABORT || m_bSendAbort) {
                nPhase = kPhaseAborted;
                return true;
            }
            std::string_view answer = Answer();
            if (answer.size() == 4 && answer[3] == '0') {
                nPhase = 7;
                return true;
            }
            Purge(kPurgeAll);
            AddStatusLine(msg::kDataError);
            return NextAttempt(2, nPhase, "write answered with an error");
        }
    }
    return false;
}

// ---- ReadIO / WriteIO --------------------------------------------------------------------------

bool CProtocol::ReadIO(int nEvent) {
    return RunCommand(m_nReadIOPhase, 5, &CProtocol::ReadIOPhase, nEvent);
}

bool CProtocol::ReadIOPhase(int nEvent, int& nPhase) {
    return QuestionPhase(nEvent, nPhase,
                         LoaderFrame('>', Format("i%08X%02d", m_dwReadAddress, m_nReadSize)), false,
                         &CProtocol::UseIoAnswer);
}

void CProtocol::UseIoAnswer() {
    std::string_view answer = Answer();
    m_dwIOValue = 0;
    if (answer.size() > 3) {
        IniScanHex(answer.substr(3, 8), m_dwIOValue);
    }
    if (DebugStatusOn()) {
        AddStatusLine(Format("Read IO (%X:%d) = [%X]", m_dwReadAddress, m_nReadSize, m_dwIOValue));
    }
}

bool CProtocol::WriteIO(int nEvent) {
    return RunCommand(m_nWriteIOPhase, 5, &CProtocol::WriteIOPhase, nEvent);
}

bool CProtocol::WriteIOPhase(int nEvent, int& nPhase) {
    // The answer's content is not examined.
    return QuestionPhase(nEvent, nPhase,
                         LoaderFrame('<', Format("i%08X%02d%08X", m_dwWriteAddress,
                                                 m_nWriteDataSize, m_dwWriteIOValue)),
                         false, &CProtocol::IgnoreAnswer);
}

// ---- Reset (no retries) ------------------------------------------------------------------------

bool CProtocol::Reset(int nEvent) {
    TraceMessage("KZmnt", "Reset_Entry = [%d]\n", nEvent);
    // A run that ends early has its error already. The command must still be able to wait
    // for the line to go quiet (a waiting command would otherwise count as finished), and the
    // error that ended the run stays the run's error.
    if (m_nResetPhase == kPhaseFirst) {
        m_nResetCause = m_nError;
    }
    m_nError = 0;
    const bool done = RunCommand(m_nResetPhase, 4, &CProtocol::ResetPhase, nEvent, true);
    if (m_nResetCause != 0) {
        m_nError = m_nResetCause;
    }
    return done;
}

bool CProtocol::ResetPhase(int nEvent, int& nPhase) {
    TraceMessage("KZmnt", "  Reset_Phase%d = [%d] , [%d]\n", nPhase, nEvent, nPhase);
    switch (nPhase) {
        case 1:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            if (nEvent != EVENT_NONE) {
                return false;
            }
            if (m_nResetCause != 0) {
                // An abort or a failure may have cut a block short that the panel is still
                // sending; a reset frame sent meanwhile would be read only once the block is
                // out, after this run has closed the port. Let the line go quiet first.
                Purge(kPurgeAll);
                ResetAssembler();
                m_dwQuietStart = TickCount();
                Arm(kQuietTicks);
                nPhase = kResetQuiet;
                return false;
            }
            return SendUnchecked(LoaderFrame('>', "q"), m_nReadTimeout, 2, nPhase);
        case kResetQuiet: {
            const std::uint32_t limitMs = m_nReadTimeout > 0
                                              ? static_cast<std::uint32_t>(m_nReadTimeout) * kTickMs
                                              : kQuietLimitMs;
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, true);
            }
            if (nEvent == EVENT_RECEIVED && TickCount() - m_dwQuietStart < limitMs) {
                Purge(platform::PURGE_RXABORT | platform::PURGE_RXCLEAR);
                Arm(kQuietTicks);
                return false;
            }
            if (nEvent != EVENT_RECEIVED && nEvent != EVENT_TIMEOUT) {
                return false;
            }
            TraceMessage("KZmnt", "  Reset after %u ms of draining\n",
                         TickCount() - m_dwQuietStart);
            if (m_nResetCause == msg::kRetryOver || m_nResetCause == msg::kCheckPower) {
                // A panel that stopped answering is not waited for once more.
                Disarm();
                const std::string frame = LoaderFrame('>', "q");
                Write(frame.data(), static_cast<std::uint32_t>(frame.size()));
                nPhase = 3;
                return true;
            }
            // The answer confirms that the panel took the frame before the port closes.
            return SendUnchecked(LoaderFrame('>', "q"), m_nReadTimeout, 2, nPhase);
        }
        case 2:
            if (nEvent == EVENT_TIMEOUT) {
                // No retry: a silent panel ends the command with msg::kRetryOver.
                Purge(kPurgeAll);
                m_nError = msg::kRetryOver;
                nPhase = 3;
                return true;
            }
            // After an early end, what is left of a block must not pass for the answer.
            return AwaitAnswer(nEvent, nPhase,
                               {.next = 3,
                                .retry = 2,
                                .frame = m_nResetCause != 0 ? kLoaderGated : kLoaderAnswer});
        case 3:
            nPhase = nEvent == EVENT_ABORT ? kPhaseAborted : 4;
            return true;
    }
    return false;
}

// ---- Quit ---------------------------------------------------------------------------------

bool CProtocol::Quit(int nEvent) {
    return RunCommand(m_nQuitPhase, 4, &CProtocol::QuitPhase, nEvent);
}

bool CProtocol::QuitPhase(int nEvent, int& nPhase) {
    TraceMessage("M", "  Quit nPhase = [%d]  nEvent = [%d] m_nError = [%d]\n", nPhase, nEvent,
                 m_nError);
    switch (nPhase) {
        case 1:
            m_nRetry = m_nRetryCount;
            nPhase = 2;
            return true;
        case 2: {
            bool failed = Send(LoaderFrame('>', "Q"), m_nReadTimeout, 3, nPhase);
            if (!failed) {
                TraceMessage("KZmnt", "CProtocol::Quit_Phase1\n");
            }
            return failed;
        }
        case 3:
            TraceMessage("KZmnt", "CProtocol::Quit_Phase2 = [%d , %d]\n", nEvent, nPhase);
            return AwaitAnswer(
                nEvent, nPhase,
                {.next = 4, .retry = 2, .frame = kLoaderGated, .reloadRetries = true});
    }
    return false;
}

}  // namespace kz
