// CProtocol: the serial protocol engine and the base of every serial operation.
//
// It takes a snapshot of the link settings when the operation is created, opens and
// closes the link, turns port events, the 10 ms time-out tick and the user's abort into
// operation events, and runs each protocol command as a small state machine of numbered
// phases with time-outs, retries and the three abort modes.
//
// Threads: the front-end (start, abort), the tick thread and the comm-event thread only
// queue events; the operation's one event thread (COperation) hands them to Diapatcher()
// one at a time. Every step, command phase and member below (unless marked otherwise) is
// used on that event thread only.
//
// Frames on the wire:
//   firmware family  PC → panel: ESC cmd params [body] cs CR    panel → PC: ESC payload CR SUB
//   loader family    PC → panel: DLE ">"|"<" cmd params CR      panel → PC: DLE payload CR SUB
// cs = the negated 8-bit sum of the covered bytes as two upper-case hex digits.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "config/MessageIds.h"
#include "ops/engine/Operation.h"
#include "platform/SerialDevice.h"
#include "serial/Comm.h"

namespace kz {

// Control bytes.
inline constexpr std::uint8_t ETX = 0x03;
inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t ENQ = 0x05;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t CR = 0x0D;
inline constexpr std::uint8_t DLE = 0x10;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t SUB = 0x1A;
inline constexpr std::uint8_t ESC = 0x1B;

// Buffer and piece sizes of the link.
inline constexpr std::uint32_t kRecvBufferSize = 66560;  // receive buffer, frame buffer, queues
inline constexpr std::uint32_t kSendPiece = 4096;        // a long frame goes out in pieces
inline constexpr std::uint32_t kReadPiece = 4096;        // received data is read in pieces
// The largest loader file: its frame adds 19 bytes and must fit the frame buffer.
inline constexpr std::uint32_t kLoaderFileLimit = kRecvBufferSize - 19;
inline constexpr int kTickMs = 10;
// Both directions of the port, pending and queued data alike.
inline constexpr std::uint32_t kPurgeAll = platform::PURGE_TXABORT | platform::PURGE_RXABORT |
                                           platform::PURGE_TXCLEAR | platform::PURGE_RXCLEAR;
// The port events an operation reacts to.
inline constexpr std::uint32_t kCommEventMask =
    platform::EV_RXCHAR | platform::EV_TXEMPTY | platform::EV_DSR | platform::EV_ERR;

// Phases every command shares besides its own numbered ones: RunCommand ends the command
// with msg::kCheckPower when a phase sets kPhaseWriteFailed and with msg::kAborted for
// kPhaseAborted.
inline constexpr int kPhaseFirst = 1;
inline constexpr int kPhaseWriteFailed = 98;
inline constexpr int kPhaseAborted = 99;

// Writes the checksum of data (two upper-case hex digits) to out[0], out[1].
void Checksum(const std::uint8_t* data, std::size_t length, char* out);
std::string ChecksumText(std::string_view data);

// The two frame families, built the one way every command sends them.
// Loader family: DLE direction command CR, where direction is '>' (a request or an order)
// or '<' (the PC hands over data or a setting) and command holds the command letters and
// their parameters, e.g. LoaderFrame('>', "h").
std::string LoaderFrame(char direction, std::string_view command);
// Firmware family: ESC command body cs CR; cs covers command and body, e.g.
// FirmwareFrame("MID").
std::string FirmwareFrame(std::string_view command, std::string_view body = {});

// COperation is the first base: the step tables name its Terminate, and a member pointer
// into a later base would be called through an adjusted pointer, which the sanitizer's type
// check takes for a call on the wrong object.
class CProtocol : public COperation, public CComm {
  public:
    CProtocol();
    ~CProtocol() override;

    // ---- Front-end side (any thread) -------------------------------------------------
    // Raised by the power-reset wait dialog's Cancel.
    void CancelPowerReset() { m_bPowerResetCancel = true; }
    // Bounds the wait for a power reset of the unit (0, the default: no bound, the wait
    // ends only by the dialog's Cancel). A front-end without a user who could cancel sets
    // one; when it passes, the command ends with msg::kCheckPower and a status line that
    // says so. The same bound ends ConnectILOADER's probe of a started loader that never
    // answers (otherwise probed until the user aborts) with msg::kCheckPower.
    void SetPowerResetLimit(std::chrono::seconds limit) {
        m_nPowerResetLimitMs = static_cast<std::uint32_t>(limit.count()) * 1000;
    }
    // The device the run opens (or opened): the one SetDevice gave, else the one its COM
    // port maps to. Read after the run.
    std::string DeviceInUse() { return DeviceNameForPort(m_nPort); }
    // ---- Link --------------------------------------------------------------------------
    // Starts the timer thread, allocates the receive buffer (msg::kNoMemory when it cannot
    // be had), opens port COM with 66560-byte queues, sets the flow-control modes and
    // starts the comm-event thread. True only when all of that succeeded.
    using CComm::Open;
    virtual bool Open();
    // Stops the timer and comm-event threads and closes the port. Always true.
    bool Close() override;

    bool OnErr(std::uint32_t mask) override;
    bool OnRxChar(std::uint32_t mask) override;
    bool OnTxEmpty(std::uint32_t mask) override;

    // Asked by ReadData when line errors persist; the default has no smaller size.
    virtual bool ChangeReadSize();

    // ---- Connection and identification commands -----------------------------------------
    bool Password(int nEvent);
    bool ReadCoreID(int nEvent);
    bool DownloadILOADER(int nEvent);
    bool ConnectILOADER(int nEvent);
    bool Handshaking(int nEvent);
    bool ChangeSIO(int nEvent);
    bool ReadHW(int nEvent);
    bool ReadSignature(int nEvent);
    // ---- Memory and I/O transfer commands ---------------------------------------------
    bool ReadData(int nEvent);
    bool WriteData(int nEvent);
    bool ReadIO(int nEvent);
    bool WriteIO(int nEvent);
    bool Reset(int nEvent);
    bool Quit(int nEvent);

    // The core ID text at characters 8 to 11 of the identification answer that ReadCoreID
    // left in the receive buffer (empty when there is none).
    std::string CoreIdFromAnswer() const;

  protected:
    using PhaseFn = bool (CProtocol::*)(int nEvent, int& nPhase);

    // Runs one protocol command: the phase function with nEvent until it waits; handles
    // the done number, kPhaseWriteFailed (msg::kCheckPower) and kPhaseAborted
    // (msg::kAborted). Returns true when
    // the command finished (with or without m_nError).
    // noneAfterFirst: phases that follow within one call get EVENT_NONE (Reset).
    bool RunCommand(int& nPhase, int nDone, PhaseFn phaseFn, int nEvent,
                    bool noneAfterFirst = false);

    // The port closes at the end of a run (and at Shutdown).
    void CloseLink() override { Close(); }

    // Frame helpers following the phase conventions: arm, receive position 0, next phase,
    // write. A failed write sets kPhaseWriteFailed and returns true; otherwise false (wait).
    bool Send(const void* data, std::size_t length, int ticks, int nextPhase, int& nPhase);
    bool Send(std::string_view frame, int ticks, int nextPhase, int& nPhase) {
        return Send(frame.data(), frame.size(), ticks, nextPhase, nPhase);
    }
    // Like Send, but the write result is not checked.
    bool SendUnchecked(std::string_view frame, int ticks, int nextPhase, int& nPhase);
    // The usual first phase: an abort ends the command at once; otherwise load the retry
    // counter and go to phase 2.
    bool BeginAttempts(int nEvent, int& nPhase);
    // The phases of a command that asks one question and reads one loader answer (ReadHW,
    // ReadSignature, ReadIO, WriteIO):
    //   1 attempts loaded ─► 2 frame sent ─► 3 answer (time-out: retry from 2) ─► 4 used ─► 5
    // An abort in phase 1, 2 or 4 ends the command at once; in phase 3 as AwaitAnswer's
    // immediate abort. An empty frame cannot be sent (ends with msg::kCheckPower); checked:
    // a failed write ends the command, otherwise the answer's time-out covers it.
    // useAnswer runs in phase 4 on the answer in the receive buffer.
    bool QuestionPhase(int nEvent, int& nPhase, std::string_view frame, bool checked,
                       void (CProtocol::*useAnswer)());
    // Counts one failed attempt: go to retryPhase (true), or, when the retries are used up,
    // phase 1 with msg::kRetryOver (false). Returns the value the phase returns. reason says
    // why the attempt failed ("time-out", "bad checksum", ...); every retry is traced with
    // it, so a field trace tells why a transfer was slow.
    bool NextAttempt(int retryPhase, int& nPhase, const char* reason);
    // Time-out: purge, then NextAttempt.
    bool RetryTo(int retryPhase, int& nPhase, const char* reason);
    // Traces one failed attempt of the step in work: the phase it failed in, the phase it
    // goes on from (kNoRetry: the attempts are used up), the reason and the attempts left.
    static constexpr int kNoRetry = -1;
    void TraceRetry(int nPhase, int retryPhase, const char* reason) const;
    // True when the answer in the receive buffer begins with prefix (the answer's echo of
    // the request it belongs to, e.g. "<LS").
    bool AnswerStartsWith(std::string_view prefix) const;
    // Forgets a complete answer that belongs to another request; the command keeps waiting.
    void DropAnswer();
    // Abort handling: immediate (kPhaseAborted, purging when waiting) or deferred by the flag.
    bool AbortImmediate(int& nPhase, bool purge);
    void AbortDeferred();

    // Frame assemblers. An answer is collected in the receive buffer without its start
    // byte, CR and SUB; the assembler's state survives from one read to the next.
    struct AnswerKind {
        std::uint8_t start;  // DLE (loader) or ESC (firmware): restarts the answer
        bool gated;        // bytes before the start byte are ignored; after CR only SUB may follow
        bool dropLoneSub;  // a SUB without CR is dropped rather than stored
    };
    static constexpr AnswerKind kLoaderAnswer{DLE, false, false};
    static constexpr AnswerKind kLoaderGated{DLE, true, false};
    static constexpr AnswerKind kFirmwareAnswer{ESC, false, false};
    static constexpr AnswerKind kFirmwareGated{ESC, true, false};
    static constexpr AnswerKind kFirmwareNoLoneSub{ESC, false, true};

    // What a time-out writes to the status list.
    enum class TimeOutLine { None, Always, UnlessLineError };
    // What an abort does while a phase waits for an answer.
    enum class OnAbort {
        Immediate,  // purge, kPhaseAborted at once
        Defer,      // raise the abort flag and say so; the wait goes on
        Elsewhere,  // the command handled it before its phases; the wait goes on
    };
    struct AnswerWait {
        int next;                          // the phase after a good answer
        int retry;                         // the phase a time-out retries from
        AnswerKind frame = kLoaderAnswer;  // the answer is a frame of this kind,
        std::uint8_t twoByte = 0;          // or, when set, this byte followed by SUB
        std::string_view echo = {};        // a frame that does not begin so is dropped
        TimeOutLine line = TimeOutLine::Always;
        OnAbort abort = OnAbort::Immediate;
        bool abortFlagEnds = false;  // a time-out with the abort flag raised ends the command
        bool reloadRetries = false;  // a good answer restores the retry count
    };
    // The wait of a phase that sent a request: a complete answer → Disarm, next phase; a
    // time-out → (status line), purge and retry from the retry phase, or give up with
    // msg::kRetryOver once the retries are used up; an abort → as wait.abort says. Returns
    // the value the phase returns.
    bool AwaitAnswer(int nEvent, int& nPhase, const AnswerWait& wait);

    // Reads what the port holds and feeds it to the assembler; true once an answer is
    // complete. Bytes after a complete answer in the same read are kept for the next read
    // (the start of what the panel sent next, such as the data that follows a header).
    bool ReadAnswer(const AnswerKind& kind);
    // What has arrived, at most max bytes: first the bytes kept after the last complete
    // answer, then the port's. Every read of the panel's bytes goes through here.
    std::uint32_t ReadInput(void* buffer, std::uint32_t max);
    // An answer ended at piece[from - 1] of a read of n bytes: keeps piece[from, n) for the
    // next read and makes sure a waiting phase looks at it.
    void KeepRest(const std::uint8_t* piece, std::uint32_t from, std::uint32_t n);
    // Purging the receive side also forgets the bytes kept after an answer.
    bool Purge(std::uint32_t nFlags) override;
    bool Feed(const AnswerKind& kind, std::uint8_t byte);
    void ResetAssembler();
    // Two-byte answers (ETX SUB, EOT SUB, ACK SUB): the first byte, then SUB right after it.
    bool ReadTwoByte(std::uint8_t first);
    // The answer held in the receive buffer.
    std::string_view Answer() const;
    void StoreByte(std::uint8_t byte);

    // Send pump for frames longer than one piece. Start writes the first piece; Step
    // handles EVENT_SENT / EVENT_LINE_ERROR and returns Done when everything is out.
    enum class PumpState { Waiting, Done, WriteFailed };
    bool StartPump(const std::uint8_t* data, std::uint32_t length, std::uint32_t& remaining);
    PumpState PumpStep(const std::uint8_t* data, std::uint32_t length, std::uint32_t& remaining,
                       const char* queueTrace);

    // Break, 9600 bit/s 8N1.
    void ResetLine();
    // 100 ms, then the configured rate 8N1.
    void SwitchToConfiguredRate();

    // ---- Settings snapshot -------------------------------------------------------------
    int m_nPort = 1;
    std::uint32_t m_nBaudRate = 38400;
    int m_nWriteTimeout = 3000;  // ticks
    int m_nReadTimeout = 1000;   // ticks
    int m_nRetryCount = 3;

    // ---- Engine state ----------------------------------------------------------------------
    bool m_bAbort = false;
    std::uint32_t m_nRecvPos = 0;
    std::unique_ptr<std::uint8_t[]> m_pchRecvBuff;
    std::uint32_t m_nSendSize = 0;
    int m_nPacketCount = 0;  // packets of the current unit (traced by the memory operations)
    std::uint32_t m_nWriteSize = 0;
    int m_nRetry = 0;
    bool m_bSendAbort = false;
    std::atomic<bool> m_bPowerResetCancel{false};
    std::atomic<std::uint32_t> m_nPowerResetLimitMs{0};
    std::uint32_t m_dwPowerResetStart = 0;   // tick count when the dialog was shown
    std::uint32_t m_dwLoaderProbeStart = 0;  // tick count when ConnectILOADER began probing

    // ---- Command data ------------------------------------------------------------------
    std::string m_csLoaderName;
    std::string m_csHW_CoreID;
    std::uint32_t m_dwFRomSize = 0;
    std::uint32_t m_dwDRamSize = 0;
    std::uint32_t m_dwSRamSize = 0;
    int m_nSignatureKind = 1;
    std::uint32_t m_dwSignature = 0;
    std::uint32_t m_dwReadAddress = 0;
    int m_nReadSize = 0;
    std::uint32_t m_dwIOValue = 0;
    std::uint32_t m_dwWriteAddress = 0;
    int m_nWriteDataSize = 0;
    std::uint8_t* m_pchWriteBuff = nullptr;  // owned by the operation; size + 2 spare bytes
    std::uint32_t m_dwWriteIOValue = 0;

  private:
    // Command phase functions (one switch per command).
    bool PasswordPhase(int nEvent, int& nPhase);
    // Password's sub-steps.
    bool PasswordProbeAnswer(int nEvent, int& nPhase);
    bool SendPassword(int& nPhase);
    bool CheckPasswordAccepted(int& nPhase);
    bool QuitPasswordExchange(int errorId, int& nPhase);
    bool EndPasswordExchange(int nEvent, int& nPhase);
    bool ReadCoreIDPhase(int nEvent, int& nPhase);
    // ReadCoreID's sub-steps.
    bool CoreIdProbeAnswer(int nEvent, int& nPhase);
    bool CheckCoreIdAnswer(int& nPhase);
    bool ShowPowerResetDialog(int& nPhase);
    bool WatchPowerResetCts(int nEvent, int& nPhase);
    bool ProbeDuringPowerReset(int nEvent, int& nPhase);
    // Ends the power-reset wait when the user cancelled it or its bound has passed; true
    // when it did.
    bool EndPowerResetWait(int& nPhase);
    bool DownloadPhase(int nEvent, int& nPhase);
    // DownloadILOADER's sub-steps.
    bool RateChangeAnswer(int nEvent, int& nPhase);
    bool StartLoaderSend(int& nPhase);
    bool PumpLoaderSend(int nEvent, int& nPhase);
    bool ConnectPhase(int nEvent, int& nPhase);
    bool HandshakingPhase(int nEvent, int& nPhase);
    bool ChangeSIOPhase(int nEvent, int& nPhase);
    bool ReadHWPhase(int nEvent, int& nPhase);
    bool ReadSignaturePhase(int nEvent, int& nPhase);
    bool ReadDataPhase(int nEvent, int& nPhase);
    bool WriteDataPhase(int nEvent, int& nPhase);
    bool ReadIOPhase(int nEvent, int& nPhase);
    bool WriteIOPhase(int nEvent, int& nPhase);
    // What the question commands take from their answers.
    void UseHardwareAnswer();
    void UseSignatureAnswer();
    void UseIoAnswer();
    void IgnoreAnswer() {}
    bool ResetPhase(int nEvent, int& nPhase);
    bool QuitPhase(int nEvent, int& nPhase);
    bool ResyncPhase(int nEvent, int& nPhase);  // phases 11-14 of ReadData and WriteData
    // Reads the loader file into m_loaderFrame; false when it cannot be used.
    bool BuildLoaderFrame();
    std::string RateChangeFrame() const;

    // One phase variable per command.
    int m_nPasswordPhase = 1;
    int m_nPasswordOutcome = 0;  // the error Password ends with once the quit is answered
    int m_nReadCoreIDPhase = 1;
    int m_nDownloadPhase = 1;
    int m_nConnectPhase = 1;
    int m_nHandshakingPhase = 1;
    int m_nChangeSIOPhase = 1;
    int m_nReadHWPhase = 1;
    int m_nReadSignaturePhase = 1;
    int m_nReadDataPhase = 1;
    int m_nWriteDataPhase = 1;
    int m_nReadIOPhase = 1;
    int m_nWriteIOPhase = 1;
    int m_nResetPhase = 1;
    int m_nQuitPhase = 1;
    int m_nResetCause = 0;             // Reset: the error that ended the run early, or 0
    std::uint32_t m_dwQuietStart = 0;  // Reset: when the wait for a quiet line began
    std::string m_csLoaderAddress;     // the loader's load address, 8 hex digits
    std::string m_loaderFrame;         // the loader download's frame while it goes out
    bool m_bAsmStarted = false;        // frame assembler: start byte seen
    bool m_bAsmCrSeen = false;         // frame assembler: CR seen
    bool m_bFirstSeen = false;         // two-byte assembler: first byte seen
    // Bytes read after a complete answer, not yet handed out (see ReadInput).
    std::array<std::uint8_t, kReadPiece> m_carry{};
    std::uint32_t m_nCarryPos = 0;
    std::uint32_t m_nCarryEnd = 0;
};

}  // namespace kz
