#include "serial/Comm.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "config/Settings.h"
#include "diag/Trace.h"
#include "platform/Clock.h"

namespace kz {

using platform::EV_BREAK;
using platform::EV_CTS;
using platform::EV_DSR;
using platform::EV_ERR;
using platform::EV_RING;
using platform::EV_RLSD;
using platform::EV_RXCHAR;
using platform::EV_RXFLAG;
using platform::EV_TXEMPTY;

CComm::CComm() = default;

CComm::~CComm() {
    // A derived class stops the thread in its own destructor while its handlers still
    // exist; this is the last guard that the thread never outlives the object.
    Close();
    if (m_thread.joinable()) {
        if (OnEventThread()) {
            m_thread.detach();
        } else {
            m_thread.join();
        }
    }
}

// ---- Port ---------------------------------------------------------------------------------

std::string CComm::DeviceNameForPort(int nPort) {
    return m_device.empty() ? CSettings().GetSerialDeviceName(nPort) : m_device;
}

bool CComm::Open(int nPort, std::uint32_t nOutQueue, std::uint32_t nInQueue) {
    if (m_pDevice) {
        return false;  // one port per object; the held one stays as it is
    }
    JoinFinishedThread();
    m_openError = {};
    auto device = platform::OpenSerialDevice(DeviceNameForPort(nPort), &m_openError);
    if (!device) {
        return false;
    }
    m_openError = {};
    device->GetLineState(m_state);
    device->SetQueueSizes(nInQueue, nOutQueue);
    m_pDevice = std::move(device);
    return true;
}

bool CComm::IsOpen() {
    return m_pDevice != nullptr;
}

bool CComm::Close() {
    TraceMessage("Comm", "CComm::Close()\n");
    if (!m_pDevice) {
        return false;
    }
    // The event thread waits on the device: it has to be gone before the device is.
    if (m_bThreadAlive) {
        if (OnEventThread()) {
            m_nStop = 1;  // the thread leaves its loop when the handler returns
        } else {
            CommEventStop();
        }
    }
    TraceMessage("Comm", "  Handle Close\n");
    m_pDevice.reset();
    TraceMessage("Comm", "  Handle Close Complete\n");
    return true;
}

std::uint32_t CComm::Read(void* pBuffer, std::uint32_t nMax) {
    if (!m_pDevice) {
        return 0;
    }
    std::uint32_t errors = 0;
    platform::QueueStatus status;
    m_pDevice->ClearError(errors, status);
    if (errors != 0) {
        m_nLineError = errors;
        TraceMessage("CComm", "m_nError=%x , size=%d\n", errors, static_cast<int>(status.inQueue));
    }
    const std::uint32_t want = std::min(nMax, status.inQueue);
    if (want == 0) {
        return 0;
    }
    const std::size_t got = m_pDevice->Read(pBuffer, want);
    if (got == 0) {
        // The queue said there was data but none came: look at the line once more, and
        // keep what it reports rather than dropping it.
        errors = 0;
        m_pDevice->ClearError(errors, status);
        if (errors != 0) {
            m_nLineError = errors;
        }
    }
    return static_cast<std::uint32_t>(got);
}

bool CComm::Write(const void* pBuffer, std::uint32_t nCount) {
    if (!m_pDevice) {
        return false;
    }
    if (m_pDevice->Write(pBuffer, nCount)) {
        return true;
    }
    std::uint32_t errors = 0;
    platform::QueueStatus status;
    m_pDevice->ClearError(errors, status);
    return false;
}

// ---- Line settings ------------------------------------------------------------------------

bool CComm::SetLine(std::uint32_t nBaud, int nParity, int nDataBits, int nStopBits) {
    if (!m_pDevice || !m_pDevice->GetLineState(m_state)) {
        return false;
    }
    m_state.baudRate = nBaud;
    m_state.parity = static_cast<std::uint8_t>(nParity);
    m_state.byteSize = static_cast<std::uint8_t>(nDataBits);
    m_state.stopBits = static_cast<std::uint8_t>(nStopBits);
    return m_pDevice->SetLineState(m_state);
}

bool CComm::SetCtsRts(int nCtsFlow, int nRtsControl) {
    if (!m_pDevice || !m_pDevice->GetLineState(m_state)) {
        return false;
    }
    m_state.outxCtsFlow = nCtsFlow == 1;
    m_state.rtsControl = static_cast<std::uint8_t>(nRtsControl & 3);
    return m_pDevice->SetLineState(m_state);
}

bool CComm::SetDsrDtr(int nDsrFlow, int nDtrControl) {
    if (!m_pDevice || !m_pDevice->GetLineState(m_state)) {
        return false;
    }
    m_state.outxDsrFlow = nDsrFlow == 1;
    m_state.dtrControl = static_cast<std::uint8_t>(nDtrControl & 3);
    m_state.dsrSensitivity = m_state.dtrControl == 2 && nDsrFlow == 1;
    return m_pDevice->SetLineState(m_state);
}

bool CComm::SetXonXoff(int nEnable, char chXon, char chXoff, std::uint16_t nXonLim,
                       std::uint16_t nXoffLim) {
    if (!m_pDevice || !m_pDevice->GetLineState(m_state)) {
        return false;
    }
    m_state.outX = (nEnable & 1) != 0;
    m_state.inX = (nEnable & 1) != 0;
    m_state.xonChar = chXon;
    m_state.xoffChar = chXoff;
    m_state.xonLim = nXonLim;
    m_state.xoffLim = nXoffLim;
    return m_pDevice->SetLineState(m_state);
}

bool CComm::SetEventChar(char chEvent) {
    if (!m_pDevice || !m_pDevice->GetLineState(m_state)) {
        return false;
    }
    m_state.evtChar = chEvent;
    return m_pDevice->SetLineState(m_state);
}

bool CComm::GetState(platform::LineState& state) {
    if (!m_pDevice || !m_pDevice->GetLineState(m_state)) {
        return false;
    }
    state = m_state;
    return true;
}

bool CComm::SetState(const platform::LineState& state) {
    if (!m_pDevice || !m_pDevice->SetLineState(state)) {
        return false;
    }
    m_state = state;
    return true;
}

void CComm::ParseSettings(const char* pszText, int& nPort, std::uint32_t& nBaud, int& nDataBits,
                          int& nParity, int& nStopBits) {
    nPort = 2;
    nBaud = 9600;
    nDataBits = 8;
    nParity = 0;
    nStopBits = 0;
    if (pszText == nullptr) {
        return;
    }
    // A 128-byte work buffer: longer texts are cut.
    char work[128] = {};
    std::strncpy(work, pszText, sizeof(work) - 1);

    // Field k (0-based) is [start, comma); fields before the last need their comma.
    char* p = work;
    auto nextField = [&p](bool needComma) -> const char* {
        char* field = p;
        char* comma = std::strchr(p, ',');
        if (comma == nullptr) {
            if (needComma) {
                return nullptr;
            }
            p += std::strlen(p);
            return field;
        }
        *comma = '\0';
        p = comma + 1;
        return field;
    };

    const char* field = nextField(true);
    if (field == nullptr) {
        return;
    }
    nPort = std::atoi(field);

    if ((field = nextField(true)) == nullptr) {
        return;
    }
    const long baud = std::atol(field);
    nBaud = (baud == 2400 || baud == 4800 || baud == 9600 || baud == 19200)
                ? static_cast<std::uint32_t>(baud)
                : 9600;

    if ((field = nextField(true)) == nullptr) {
        return;
    }
    switch (field[0]) {
        case 'E':
        case 'e':
            nParity = 2;
            break;
        case 'O':
        case 'o':
            nParity = 1;
            break;
        default:  // N, n and anything else: none
            nParity = 0;
            break;
    }

    if ((field = nextField(true)) == nullptr) {
        return;
    }
    nDataBits = std::atoi(field);

    field = nextField(false);
    nStopBits = std::atoi(field) == 2 ? 2 : 0;
}

// ---- Pass-through calls -------------------------------------------------------------------

bool CComm::ClearError(std::uint32_t& nErrors, platform::QueueStatus& status) {
    if (!m_pDevice) {
        return false;
    }
    return m_pDevice->ClearError(nErrors, status);
}

bool CComm::Purge(std::uint32_t nFlags) {
    m_nLineError = 0;
    if (!m_pDevice) {
        return false;
    }
    return m_pDevice->Purge(nFlags);
}

bool CComm::EscapeFunction(int nFunction) {
    if (!m_pDevice) {
        return false;
    }
    return m_pDevice->EscapeFunction(nFunction);
}

bool CComm::GetModemStatus(std::uint32_t& nStatus) {
    nStatus = 0;
    if (!m_pDevice) {
        return false;
    }
    return m_pDevice->GetModemStatus(nStatus);
}

bool CComm::HasModemLines() const {
    return m_pDevice && m_pDevice->Caps().modemLines;
}

// ---- Comm-event thread --------------------------------------------------------------------

bool CComm::OnEventThread() const {
    return m_threadId.load() == std::this_thread::get_id();
}

void CComm::JoinFinishedThread() {
    // Only a thread that has left its loop (or is about to) is joined here.
    if (m_thread.joinable() && !m_bThreadAlive && !OnEventThread()) {
        m_thread.join();
    }
}

bool CComm::CommEventStart(std::uint32_t nMask) {
    if (!m_pDevice || m_bThreadAlive) {
        return false;
    }
    JoinFinishedThread();
    if (m_thread.joinable()) {
        return false;  // called from the ending thread itself
    }
    std::uint32_t previous = 0;
    m_pDevice->GetEventMask(previous);
    if (!m_pDevice->SetEventMask(nMask)) {
        return false;
    }
    // The flag is cleared before the thread exists, so a stop that comes at once is
    // never undone by the new thread.
    m_nStop = 0;
    m_bThreadAlive = true;
    try {
        m_thread = std::thread([this] { EventThread(); });
    } catch (const std::system_error&) {
        m_bThreadAlive = false;
        m_nStop = 1;
        m_threadId = std::thread::id();
        m_pDevice->SetEventMask(previous);
        return false;
    }
    return true;
}

void CComm::EventThread() {
    m_threadId = std::this_thread::get_id();
    platform::ISerialDevice* device = m_pDevice.get();
    while (m_nStop == 0) {
        std::uint32_t events = 0;
        if (device->WaitEvent(events)) {
            if (events != 0 && !OnCommEvent(events)) {
                break;
            }
        } else if (m_nStop == 0) {
            // A failing device would otherwise make this loop spin; this pause is a
            // back-off in real time, not protocol timing.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    m_threadId = std::thread::id();
    std::lock_guard lock(m_exitMutex);
    m_bThreadAlive = false;
    m_exitCv.notify_all();
}

bool CComm::CommEventStop() {
    if (!m_pDevice) {
        return false;
    }
    std::uint32_t expected = 0;
    if (!m_nStop.compare_exchange_strong(expected, 1)) {
        return false;  // never started, or already stopped
    }
    if (OnEventThread()) {
        m_pDevice->SetEventMask(0);
        return true;  // the loop ends when the handler returns
    }
    // Changing the mask releases a pending wait, and the thread normally ends at once:
    // give it a moment in real time before the polling loop below, which sleeps on the
    // process clock (a test's manual clock would hold it up).
    m_pDevice->SetEventMask(0);
    {
        std::unique_lock lock(m_exitMutex);
        m_exitCv.wait_for(lock, std::chrono::milliseconds(50), [this] { return !m_bThreadAlive; });
    }
    while (m_bThreadAlive) {
        // Repeating the mask change covers a thread that was between two waits when the
        // first change came.
        m_pDevice->SetEventMask(0);
        if (!m_bThreadAlive) {
            break;
        }
        TraceMessage("CComm", "CComm::CommEventStop\n");
        platform::Clock().Sleep(std::chrono::milliseconds(1));
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return true;
}

bool CComm::OnCommEvent(std::uint32_t nMask) {
    struct Handler {
        std::uint32_t bit;
        bool (CComm::*fn)(std::uint32_t);
    };
    static constexpr Handler kOrder[] = {
        {EV_BREAK, &CComm::OnBreak},     {EV_CTS, &CComm::OnCts},
        {EV_DSR, &CComm::OnDsr},         {EV_ERR, &CComm::OnErr},
        {EV_RING, &CComm::OnRing},       {EV_RLSD, &CComm::OnRlsd},
        {EV_TXEMPTY, &CComm::OnTxEmpty}, {EV_RXCHAR, &CComm::OnRxChar},
        {EV_RXFLAG, &CComm::OnRxFlag},
    };
    for (const Handler& h : kOrder) {
        if ((nMask & h.bit) != 0 && !(this->*h.fn)(nMask)) {
            return false;
        }
    }
    return true;
}

bool CComm::OnBreak(std::uint32_t) {
    return true;
}
bool CComm::OnCts(std::uint32_t) {
    return true;
}
bool CComm::OnDsr(std::uint32_t) {
    return true;
}
bool CComm::OnErr(std::uint32_t) {
    return true;
}
bool CComm::OnRing(std::uint32_t) {
    return true;
}
bool CComm::OnRlsd(std::uint32_t) {
    return true;
}
bool CComm::OnRxChar(std::uint32_t) {
    return true;
}
bool CComm::OnRxFlag(std::uint32_t) {
    return true;
}
bool CComm::OnTxEmpty(std::uint32_t) {
    return true;
}

}  // namespace kz
