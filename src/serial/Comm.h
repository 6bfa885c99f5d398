// CComm: one COM port for the duration of one serial operation.
//
// It opens the port chosen by number (the device comes from section PORTS of the settings,
// see CSettings::GetSerialDeviceName), changes line settings, reads what has already
// arrived without waiting for more, writes a buffer and returns once the driver has taken
// it, and runs a comm-event thread that waits for port events and hands each one to a
// virtual handler. It does no framing and knows nothing of the panel.
//
//   closed --Open--> open --CommEventStart--> event thread running
//     ^               |  ^                          |
//     +-----Close-----+  +------CommEventStop-------+   (or a handler returned false)
//
// Thread-safety: CComm takes no lock of its own around the port. One thread (the protocol
// engine's) may call Read, Write, Purge, ClearError, the setters and CommEventStop while
// the comm-event thread waits for events; two reads or two writes must never run at the
// same moment. Open and Close must not run while another thread uses the port, except
// that Close stops a running event thread itself before it lets go of the device.
// The event handlers run on the comm-event thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/SerialDevice.h"

namespace kz {

class CComm {
  public:
    // Closed port, no event thread, stop flag set.
    CComm();
    // Stops the event thread (if still running) and closes the port.
    virtual ~CComm();
    CComm(const CComm&) = delete;
    CComm& operator=(const CComm&) = delete;

    // Opens COM port nPort with the given driver queue sizes and reads the port's current
    // line state (speed, format and flow control are left as the port had them). False,
    // without tracing, when the port is absent, in use, not accessible, or already open
    // in this object.
    virtual bool Open(int nPort, std::uint32_t nOutQueue, std::uint32_t nInQueue);
    // Opens device instead of the one COM port nPort maps to, from the next Open on (the
    // settings stay as they are); empty: the mapping again. Not while Open runs.
    void SetDevice(std::string device) { m_device = std::move(device); }
    // Why the last Open could not open the port: the device layer's kind and reason (the
    // reason is empty after an Open that succeeded, or refused because a port is already
    // held).
    const platform::DeviceOpenError& OpenError() const { return m_openError; }
    // True while a port is held.
    virtual bool IsOpen();
    // Closes the port. False when none is held. A comm-event thread still running is
    // stopped first.
    virtual bool Close();

    // Copies at most nMax bytes that have already arrived; never waits for more. Pending
    // line errors are recorded in m_nLineError (and traced) but do not fail the read.
    // Returns the number of bytes placed in pBuffer (0 when nothing is waiting or no port
    // is held).
    virtual std::uint32_t Read(void* pBuffer, std::uint32_t nMax);
    // Returns true once the driver has taken all nCount bytes (it blocks while the driver's
    // output queue is full). On failure clears the port's error state and returns false.
    virtual bool Write(const void* pBuffer, std::uint32_t nCount);

    // The setters read the port's state, change only their own fields, write the state
    // back and return the result of that write (false when no port is held).
    // Parity 0 none, 1 odd, 2 even; stop bits 0 one, 1 one and a half, 2 two.
    virtual bool SetLine(std::uint32_t nBaud, int nParity, int nDataBits, int nStopBits);
    // CTS output flow on when nCtsFlow is 1; RTS control = nRtsControl & 3
    // (0 disable, 1 enable, 2 handshake, 3 toggle).
    virtual bool SetCtsRts(int nCtsFlow, int nRtsControl);
    // DSR output flow on when nDsrFlow is 1; DTR control = nDtrControl & 3. DSR
    // sensitivity is on only for DSR flow 1 with DTR handshake (2).
    virtual bool SetDsrDtr(int nDsrFlow, int nDtrControl);
    // XON/XOFF output and input flow both = nEnable & 1; characters and limits as given.
    virtual bool SetXonXoff(int nEnable, char chXon, char chXoff, std::uint16_t nXonLim,
                            std::uint16_t nXoffLim);
    // Copies the port's current line state into state. False when no port is held.
    virtual bool GetState(platform::LineState& state);
    // Applies a whole line state. False when no port is held or the port refuses it.
    virtual bool SetState(const platform::LineState& state);
    // Reads "port,baud,parity,databits,stopbits" (e.g. "2,9600,N,8,1"). Outputs start as
    // port 2, 9600 bit/s, 8 data bits, parity 0, stop-bits code 0; a field is taken only
    // when a comma follows it (the stop bits excepted), and parsing ends at the first
    // missing field. Baud rates other than 2400, 4800, 9600 and 19200 give 9600.
    virtual void ParseSettings(const char* pszText, int& nPort, std::uint32_t& nBaud,
                               int& nDataBits, int& nParity, int& nStopBits);
    // The character that raises EV_RXFLAG. False when no port is held.
    virtual bool SetEventChar(char chEvent);

    // Pending line-error bits (CE_*, cleared by the call) and the driver's queue counts.
    // False (nothing filled) when no port is held.
    virtual bool ClearError(std::uint32_t& nErrors, platform::QueueStatus& status);
    // Clears m_nLineError, then purges the port (PURGE_* flags). False when no port is held.
    virtual bool Purge(std::uint32_t nFlags);
    // Extended function (8 set break, 9 clear break, 3/4 RTS, 5/6 DTR). False when no port
    // is held or the device cannot do it.
    virtual bool EscapeFunction(int nFunction);
    // Modem status bits (0x10 CTS on). False, with 0, when no port is held or the device
    // has no modem lines.
    virtual bool GetModemStatus(std::uint32_t& nStatus);

    // True when a port is held and its device reports real modem lines (a pseudo-terminal
    // or a plain three-wire adapter does not, so CTS cannot be watched there).
    bool HasModemLines() const;

    // Sets the event mask and starts the comm-event thread. False when no port is held, an
    // event thread already runs, the mask cannot be set, or the thread cannot be created
    // (the previous mask is then restored).
    virtual bool CommEventStart(std::uint32_t nMask);
    // Asks the event thread to stop, clears the event mask (which releases its wait) and
    // waits until the thread has ended: up to 50 ms in real time, then in 1 ms steps of the
    // process clock, tracing each step; there is no upper bound. False when no
    // port is held or no thread was started since the last stop (also for a second stop in
    // a row). True at once when the thread had already ended on its own. Called on the
    // event thread itself (from a handler) it only asks, and returns true.
    virtual bool CommEventStop();

    // True from CommEventStart until the event thread has left its loop. Any thread.
    bool EventThreadRunning() const { return m_bThreadAlive; }

    // Calls the handler of each set event bit in this order: break, CTS, DSR, error, ring,
    // RLSD, transmit empty, received character, flag character. The first handler that
    // returns false ends the chain; the result is then false, otherwise true.
    virtual bool OnCommEvent(std::uint32_t nMask);
    // The event handlers: each gets the event mask and returns true to keep the event
    // thread running. The defaults do nothing and return true.
    virtual bool OnBreak(std::uint32_t nMask);
    virtual bool OnCts(std::uint32_t nMask);
    virtual bool OnDsr(std::uint32_t nMask);
    virtual bool OnErr(std::uint32_t nMask);
    virtual bool OnRing(std::uint32_t nMask);
    virtual bool OnRlsd(std::uint32_t nMask);
    virtual bool OnRxChar(std::uint32_t nMask);
    virtual bool OnRxFlag(std::uint32_t nMask);
    virtual bool OnTxEmpty(std::uint32_t nMask);

    // The line-error bits (CE_*) that the last Read found pending; cleared by Purge.
    std::atomic<std::uint32_t> m_nLineError{0};

  protected:
    // The device name for COM port nPort: the one SetDevice gave, else the settings'
    // (section PORTS).
    virtual std::string DeviceNameForPort(int nPort);

  private:
    void EventThread();
    bool OnEventThread() const;
    void JoinFinishedThread();

    std::unique_ptr<platform::ISerialDevice> m_pDevice;
    platform::DeviceOpenError m_openError;
    std::string m_device;         // SetDevice's, empty: the settings' mapping
    platform::LineState m_state;  // the line state as last read or written by a setter
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};
    std::atomic<bool> m_bThreadAlive{false};  // the event thread has not yet ended
    std::atomic<std::uint32_t> m_nStop{1};    // 1: no thread wanted (or a stop was asked)
    std::mutex m_exitMutex;                   // with m_exitCv: the thread announces its end
    std::condition_variable m_exitCv;
};

}  // namespace kz
