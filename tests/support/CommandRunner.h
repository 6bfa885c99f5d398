// Runs protocol commands outside an operation: a CProtocol whose dispatcher opens the link
// on EVENT_NONE and then feeds every event to one command (or any step the test gives)
// until it finishes. Also a scripted peer that plays the panel's side byte by byte for
// tests of the engine itself.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/VirtualSerial.h"
#include "serial/Protocol.h"

namespace kz::test {

class CommandRunner : public CProtocol {
  public:
    using Step = std::function<bool(CommandRunner&, int nEvent)>;

    CommandRunner() = default;
    ~CommandRunner() override { Shutdown(); }

    // Opens the link (unless openLink is false) and runs step until it returns true.
    void Start(Step step, bool openLink = true);
    // Waits (real time) until the step finished; false after the time-out.
    bool WaitDone(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool Done() const { return done_; }
    std::vector<int> Events();

    bool Diapatcher(int nEvent) override;
    bool Write(const void* pBuffer, std::uint32_t nCount) override;
    std::vector<std::uint32_t> WriteSizes();

    // Engine internals the tests look at.
    using CProtocol::Answer;
    using CProtocol::Arm;
    using CProtocol::Countdown;
    using CProtocol::Disarm;
    using CProtocol::m_bAbort;
    using CProtocol::m_csHW_CoreID;
    using CProtocol::m_csLoaderName;
    using CProtocol::m_dwDRamSize;
    using CProtocol::m_dwFRomSize;
    using CProtocol::m_dwIOValue;
    using CProtocol::m_dwReadAddress;
    using CProtocol::m_dwSignature;
    using CProtocol::m_dwSRamSize;
    using CProtocol::m_dwWriteAddress;
    using CProtocol::m_dwWriteIOValue;
    using CProtocol::m_nBaudRate;
    using CProtocol::m_nReadSize;
    using CProtocol::m_nRecvPos;
    using CProtocol::m_nSignatureKind;
    using CProtocol::m_nWriteDataSize;
    using CProtocol::m_pchRecvBuff;
    using CProtocol::m_pchWriteBuff;
    using CProtocol::Rearm;

    // Answer for ChangeReadSize (counts the calls).
    std::function<bool()> onChangeReadSize;
    std::atomic<int> changeReadSizeCalls{0};
    bool ChangeReadSize() override;

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    Step step_;
    bool openLink_ = true;
    bool opened_ = false;
    std::atomic<bool> done_{false};
    std::vector<int> events_;
    std::vector<std::uint32_t> writeSizes_;
};

// The panel's side for engine tests: splits what the PC sends into frames (a single ENQ
// or ACK byte, or everything up to CR) and answers each with whatever reply() returns.
class ScriptedPeer {
  public:
    using Reply = std::function<std::string(const std::string& frame)>;
    ScriptedPeer(platform::VirtualSerialLink& link, Reply reply);
    ~ScriptedPeer();

    std::vector<std::string> Frames();
    int Count(const std::string& frame);
    // Writes bytes to the PC at once (outside any reply).
    void Send(const std::string& bytes);
    platform::ISerialDevice& device() { return *device_; }

  private:
    void Run();
    std::unique_ptr<platform::ISerialDevice> device_;
    Reply reply_;
    std::mutex mutex_;
    std::vector<std::string> frames_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kz::test
