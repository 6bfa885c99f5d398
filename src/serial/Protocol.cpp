#include "serial/Protocol.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "config/Settings.h"
#include "config/StringTable.h"
#include "diag/Trace.h"
#include "platform/Clock.h"
#include "platform/Format.h"

namespace kz {

namespace {
constexpr char kHex[] = "0123456789ABCDEF";

int OpenFailureLine(platform::OpenFailure failure) {
    switch (failure) {
        case platform::OpenFailure::NoDevice:
            return msg::kPortMissing;
        case platform::OpenFailure::Busy:
            return msg::kPortBusy;
        case platform::OpenFailure::NoPermission:
            return msg::kPortDenied;
        default:
            return msg::kPortUnusable;
    }
}
}  // namespace

void Checksum(const std::uint8_t* data, std::size_t length, char* out) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    const std::uint8_t cs = static_cast<std::uint8_t>(-sum);
    out[0] = kHex[cs >> 4];
    out[1] = kHex[cs & 0x0F];
}

std::string ChecksumText(std::string_view data) {
    char cs[2];
    Checksum(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), cs);
    return std::string(cs, 2);
}

std::string LoaderFrame(char direction, std::string_view command) {
    std::string frame;
    frame.reserve(command.size() + 3);
    frame += static_cast<char>(DLE);
    frame += direction;
    frame += command;
    frame += static_cast<char>(CR);
    return frame;
}

std::string FirmwareFrame(std::string_view command, std::string_view body) {
    std::string frame;
    frame.reserve(command.size() + body.size() + 4);
    frame += static_cast<char>(ESC);
    frame += command;
    frame += body;
    frame += ChecksumText(std::string_view(frame).substr(1));
    frame += static_cast<char>(CR);
    return frame;
}

CProtocol::CProtocol() : COperation(kTickMs) {
    CSettings settings;
    m_nPort = settings.GetComPort();
    m_nBaudRate = CSettings::BaudFromIndex(settings.GetBaudIndex());
    m_nWriteTimeout = settings.GetWriteTimeout() * 1000 / kTickMs;
    m_nReadTimeout = settings.GetReadTimeout() * 1000 / kTickMs;
    m_nRetryCount = settings.GetRetry();
}

CProtocol::~CProtocol() {
    Shutdown();
    TraceMessage("KZmnt", "CProtocol::~CProtocol()\n");
    Close();
}

bool CProtocol::ChangeReadSize() {
    return true;
}

// ---- Link ------------------------------------------------------------------------------

bool CProtocol::Open() {
    StartTimer();
    if (IsOpen()) {
        return false;
    }
    TraceMessage("KZmnt", "CProtocol::Open()\n");
    m_pchRecvBuff.reset(new (std::nothrow) std::uint8_t[kRecvBufferSize]);
    if (!m_pchRecvBuff) {
        m_nError = msg::kNoMemory;
        return false;
    }
    m_nRecvPos = 0;
    if (!CComm::Open(m_nPort, kRecvBufferSize, kRecvBufferSize)) {
        // The operation ends with 4000 at its first frame; this line says why.
        AddStatusLine(Format(GetString(OpenFailureLine(OpenError().kind)).c_str(),
                             DeviceNameForPort(m_nPort).c_str()));
        return false;
    }
    // Whatever is waiting in the port was sent before this operation asked anything (an
    // answer an earlier run left unread): taken as an answer, it would pair with the wrong
    // request.
    Purge(kPurgeAll);
    bool ok = SetCtsRts(0, 2);
    ok = SetDsrDtr(0, 2) && ok;
    ok = CommEventStart(kCommEventMask) && ok;
    return ok;
}

bool CProtocol::Close() {
    StopTimer();
    CommEventStop();
    CComm::Close();
    return true;
}

bool CProtocol::OnErr(std::uint32_t) {
    PostLinkEvent(EVENT_LINE_ERROR, 0, true);
    return true;
}

bool CProtocol::OnRxChar(std::uint32_t) {
    PostLinkEvent(EVENT_RECEIVED, 0, true);
    return true;
}

bool CProtocol::OnTxEmpty(std::uint32_t) {
    PostLinkEvent(EVENT_SENT, 0, true);
    return true;
}

void CProtocol::ResetLine() {
    EscapeFunction(platform::SETBREAK);
    Sleep(50);
    EscapeFunction(platform::CLRBREAK);
    Sleep(100);
    SetLine(9600, 0, 8, 0);
}

void CProtocol::SwitchToConfiguredRate() {
    Sleep(100);
    SetLine(m_nBaudRate, 0, 8, 0);
}

// ---- Command machinery -------------------------------------------------------------------

bool CProtocol::RunCommand(int& nPhase, int nDone, PhaseFn phaseFn, int nEvent,
                           bool noneAfterFirst) {
    for (bool first = true;; first = false) {
        if (!first && noneAfterFirst) {
            nEvent = EVENT_NONE;
        }
        if (nPhase == nDone) {
            nPhase = kPhaseFirst;
            return true;
        }
        if (nPhase == kPhaseWriteFailed) {
            nPhase = kPhaseFirst;
            Disarm();
            m_nError = msg::kCheckPower;
            return true;
        }
        if (nPhase == kPhaseAborted) {
            nPhase = kPhaseFirst;
            Disarm();
            m_nError = msg::kAborted;
            return true;
        }
        if (!(this->*phaseFn)(nEvent, nPhase)) {
            return m_nError != 0;
        }
    }
}

bool CProtocol::Send(const void* data, std::size_t length, int ticks, int nextPhase, int& nPhase) {
    Arm(ticks);
    m_nRecvPos = 0;
    ResetAssembler();
    nPhase = nextPhase;
    if (!Write(data, static_cast<std::uint32_t>(length))) {
        nPhase = kPhaseWriteFailed;
        return true;
    }
    return false;
}

bool CProtocol::SendUnchecked(std::string_view frame, int ticks, int nextPhase, int& nPhase) {
    Arm(ticks);
    m_nRecvPos = 0;
    ResetAssembler();
    nPhase = nextPhase;
    Write(frame.data(), static_cast<std::uint32_t>(frame.size()));
    return false;
}

bool CProtocol::QuestionPhase(int nEvent, int& nPhase, std::string_view frame, bool checked,
                              void (CProtocol::*useAnswer)()) {
    switch (nPhase) {
        case 1:
            return BeginAttempts(nEvent, nPhase);
        case 2:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            if (frame.empty()) {
                nPhase = kPhaseWriteFailed;
                return true;
            }
            return checked ? Send(frame, m_nReadTimeout, 3, nPhase)
                           : SendUnchecked(frame, m_nReadTimeout, 3, nPhase);
        case 3:
            return AwaitAnswer(nEvent, nPhase, {.next = 4, .retry = 2});
        case 4:
            if (nEvent == EVENT_ABORT) {
                return AbortImmediate(nPhase, false);
            }
            (this->*useAnswer)();
            nPhase = 5;
            return true;
    }
    return false;
}

bool CProtocol::BeginAttempts(int nEvent, int& nPhase) {
    if (nEvent == EVENT_ABORT) {
        return AbortImmediate(nPhase, false);
    }
    m_nRetry = m_nRetryCount;
    nPhase = 2;
    return true;
}

bool CProtocol::NextAttempt(int retryPhase, int& nPhase, const char* reason) {
    Disarm();
    --m_nRetry;
    TraceRetry(nPhase, m_nRetry < 0 ? kNoRetry : retryPhase, reason);
    if (m_nRetry < 0) {
        nPhase = 1;
        m_nError = msg::kRetryOver;
        return false;
    }
    nPhase = retryPhase;
    return true;
}

bool CProtocol::RetryTo(int retryPhase, int& nPhase, const char* reason) {
    Purge(kPurgeAll);
    ResetAssembler();
    return NextAttempt(retryPhase, nPhase, reason);
}

void CProtocol::TraceRetry(int nPhase, int retryPhase, const char* reason) const {
    if (retryPhase == kNoRetry) {
        TraceMessage("KZmnt", "CProtocol::Retry step %d phase %d: %s, no attempt left\n", m_nPhase,
                     nPhase, reason);
    } else {
        TraceMessage("KZmnt",
                     "CProtocol::Retry step %d phase %d: %s, again from phase %d (%d left)\n",
                     m_nPhase, nPhase, reason, retryPhase, m_nRetry);
    }
}

bool CProtocol::AwaitAnswer(int nEvent, int& nPhase, const AnswerWait& wait) {
    switch (nEvent) {
        case EVENT_RECEIVED: {
            const bool complete =
                wait.twoByte != 0 ? ReadTwoByte(wait.twoByte) : ReadAnswer(wait.frame);
            if (!complete) {
                return false;
            }
            if (!wait.echo.empty() && !AnswerStartsWith(wait.echo)) {
                DropAnswer();  // a late answer to another request
                return false;
            }
            if (wait.reloadRetries) {
                m_nRetry = m_nRetryCount;
            }
            Disarm();
            nPhase = wait.next;
            return true;
        }
        case EVENT_TIMEOUT:
            if (wait.line == TimeOutLine::Always ||
                (wait.line == TimeOutLine::UnlessLineError && m_nLineError == 0)) {
                AddStatusLine(msg::kTimeOut);
            }
            if (wait.abortFlagEnds && m_bAbort) {
                Purge(kPurgeAll);
                ResetAssembler();
                nPhase = kPhaseAborted;
                return true;
            }
            return RetryTo(wait.retry, nPhase, "no answer in time");
        case EVENT_ABORT:
            if (wait.abort == OnAbort::Immediate) {
                return AbortImmediate(nPhase, true);
            }
            if (wait.abort == OnAbort::Defer) {
                AbortDeferred();
            }
            return false;
        default:
            return false;
    }
}

bool CProtocol::AnswerStartsWith(std::string_view prefix) const {
    return Answer().substr(0, prefix.size()) == prefix;
}

void CProtocol::DropAnswer() {
    m_nRecvPos = 0;
    ResetAssembler();
}

bool CProtocol::AbortImmediate(int& nPhase, bool purge) {
    if (purge) {
        Purge(kPurgeAll);
    }
    ResetAssembler();
    nPhase = kPhaseAborted;
    return true;
}

void CProtocol::AbortDeferred() {
    m_bAbort = true;
    AddStatusLine(msg::kDiscontinuation);
    AddStatusLine(msg::kPleaseWait);
}

// ---- Receiving ---------------------------------------------------------------------------

void CProtocol::StoreByte(std::uint8_t byte) {
    // A byte that would land beyond the buffer restarts the answer instead.
    if (m_nRecvPos >= kRecvBufferSize) {
        m_nRecvPos = 0;
    }
    m_pchRecvBuff[m_nRecvPos++] = byte;
}

void CProtocol::ResetAssembler() {
    m_bAsmStarted = false;
    m_bAsmCrSeen = false;
    m_bFirstSeen = false;
}

bool CProtocol::Feed(const AnswerKind& kind, std::uint8_t byte) {
    if (byte == kind.start) {
        m_bAsmStarted = true;
        m_bAsmCrSeen = false;
        m_nRecvPos = 0;
        return false;
    }
    if (kind.gated) {
        if (!m_bAsmStarted) {
            return false;  // noise before the start byte
        }
        if (m_bAsmCrSeen) {
            m_bAsmStarted = m_bAsmCrSeen = false;
            if (byte == SUB) {
                return true;
            }
            m_nRecvPos = 0;  // CR not followed by SUB: the partial answer is dropped
            return false;
        }
        if (byte == CR) {
            m_bAsmCrSeen = true;
            return false;
        }
        StoreByte(byte);
        return false;
    }
    if (byte == CR) {
        m_bAsmCrSeen = true;
        return false;
    }
    if (byte == SUB) {
        if (m_bAsmCrSeen) {
            m_bAsmStarted = m_bAsmCrSeen = false;
            return true;
        }
        if (kind.dropLoneSub) {
            return false;
        }
    }
    StoreByte(byte);
    return false;
}

std::uint32_t CProtocol::ReadInput(void* buffer, std::uint32_t max) {
    if (m_nCarryPos < m_nCarryEnd) {
        const std::uint32_t n = std::min(max, m_nCarryEnd - m_nCarryPos);
        std::memcpy(buffer, m_carry.data() + m_nCarryPos, n);
        m_nCarryPos += n;
        return n;
    }
    return Read(buffer, max);
}

void CProtocol::KeepRest(const std::uint8_t* piece, std::uint32_t from, std::uint32_t n) {
    if (from >= n) {
        return;
    }
    // When piece was served from the kept bytes, those not yet served follow the rest of
    // piece. Either way everything fits: piece came from the port with nothing kept, or it
    // came out of the kept bytes themselves.
    const std::uint32_t rest = n - from;
    const std::uint32_t unserved = m_nCarryEnd - m_nCarryPos;
    std::memmove(m_carry.data() + rest, m_carry.data() + m_nCarryPos, unserved);
    std::memcpy(m_carry.data(), piece + from, rest);
    m_nCarryPos = 0;
    m_nCarryEnd = rest + unserved;
    // The port will not report these bytes again: a phase that waits for them must look.
    PostLinkEvent(EVENT_RECEIVED, 0, true);
}

bool CProtocol::Purge(std::uint32_t nFlags) {
    if ((nFlags & (platform::PURGE_RXABORT | platform::PURGE_RXCLEAR)) != 0) {
        m_nCarryPos = m_nCarryEnd = 0;
    }
    return CComm::Purge(nFlags);
}

bool CProtocol::ReadAnswer(const AnswerKind& kind) {
    if (!m_pchRecvBuff) {
        return false;
    }
    std::uint8_t piece[kReadPiece];
    for (;;) {
        const std::uint32_t n = ReadInput(piece, sizeof(piece));
        if (n == 0) {
            return false;
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            if (Feed(kind, piece[i])) {
                KeepRest(piece, i + 1, n);
                return true;
            }
        }
    }
}

bool CProtocol::ReadTwoByte(std::uint8_t first) {
    std::uint8_t piece[512];
    for (;;) {
        const std::uint32_t n = ReadInput(piece, sizeof(piece));
        if (n == 0) {
            return false;
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            if (m_bFirstSeen && piece[i] == SUB) {
                m_bFirstSeen = false;
                KeepRest(piece, i + 1, n);
                return true;
            }
            m_bFirstSeen = piece[i] == first;
        }
    }
}

std::string_view CProtocol::Answer() const {
    if (!m_pchRecvBuff) {
        return {};
    }
    return {reinterpret_cast<const char*>(m_pchRecvBuff.get()), m_nRecvPos};
}

// ---- Send pump ---------------------------------------------------------------------------

bool CProtocol::StartPump(const std::uint8_t* data, std::uint32_t length,
                          std::uint32_t& remaining) {
    const std::uint32_t first = std::min(kSendPiece, length);
    remaining = length - first;
    return Write(data, first);
}

CProtocol::PumpState CProtocol::PumpStep(const std::uint8_t* data, std::uint32_t length,
                                         std::uint32_t& remaining, const char* queueTrace) {
    std::uint32_t errors = 0;
    platform::QueueStatus status;
    ClearError(errors, status);
    if (status.outQueue != 0) {
        if (queueTrace) {
            TraceMessage("KZmnt", queueTrace, static_cast<int>(status.outQueue));
        }
        return PumpState::Waiting;
    }
    if (remaining == 0) {
        return PumpState::Done;
    }
    const std::uint32_t offset = length - remaining;
    const std::uint32_t piece = std::min(kSendPiece, remaining);
    remaining -= piece;
    if (!Write(data + offset, piece)) {
        return PumpState::WriteFailed;
    }
    return PumpState::Waiting;
}

}  // namespace kz
