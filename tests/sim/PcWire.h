// The PC's side of the wire for the simulator tests, written by hand from the frame
// layouts: frame builders, a checksum of its own, and blocking reads with a generous real
// time-out that only guards against a hung test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/SerialDevice.h"

namespace kz::test::wire {

inline constexpr char ETX = 0x03;
inline constexpr char EOT = 0x04;
inline constexpr char ENQ = 0x05;
inline constexpr char ACK = 0x06;
inline constexpr char CR = 0x0D;
inline constexpr char DLE = 0x10;
inline constexpr char SUB = 0x1A;
inline constexpr char ESC = 0x1B;

inline constexpr auto kGuard = std::chrono::seconds(20);

inline std::string Cs(const std::string& covered) {
    unsigned sum = 0;
    for (unsigned char c : covered) {
        sum += c;
    }
    char text[3];
    std::snprintf(text, sizeof text, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return text;
}

inline std::string Hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(v));
    return text;
}

inline std::string Firmware(const std::string& body) {
    return std::string(1, ESC) + body + Cs(body) + CR;
}
inline std::string Loader(const std::string& body) {
    return std::string(1, DLE) + body + CR;
}
inline std::string Mid() {
    return Firmware("MID");
}
inline std::string FirmwareRate(char code) {
    return Firmware(std::string("COM2") + code + "0000");
}
inline std::string LoaderRate(char code) {
    const std::string covered = std::string("2") + code + "0000";
    return std::string(1, DLE) + "<O" + covered + Cs(covered) + CR;
}
inline std::string Pld(std::uint32_t address, const std::string& body) {
    return Firmware("PLD" + Hex8(address) + Hex8(static_cast<std::uint32_t>(body.size())) + body);
}
inline std::string Pgo(std::uint32_t address) {
    return Firmware("PGO" + Hex8(address));
}
inline std::string Password(const std::string& password) {
    std::string frame = std::string(1, DLE) + ">P";
    for (std::size_t i = 0; i < 24; ++i) {
        const unsigned char c = i < password.size() ? static_cast<unsigned char>(password[i]) : 0;
        frame += static_cast<char>(c + 10);
    }
    return frame + CR;
}
inline std::string ReadMem(std::uint32_t address, std::uint32_t size) {
    return Loader(">m" + Hex8(address) + Hex8(size));
}
inline std::string WriteMem(std::uint32_t address, std::uint32_t size) {
    return Loader("<m" + Hex8(address) + Hex8(size));
}

// Real-time wait for a condition the panel thread makes true; false after the guard time.
inline bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kGuard;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The PC end of a link.
class Pc {
  public:
    explicit Pc(std::unique_ptr<platform::ISerialDevice> device) : device_(std::move(device)) {
        SetRate(9600);
    }

    platform::ISerialDevice& device() { return *device_; }

    void SetRate(std::uint32_t rate) {
        platform::LineState line;
        line.baudRate = rate;
        ASSERT_TRUE(device_->SetLineState(line));
    }

    void Send(const std::string& bytes) { ASSERT_TRUE(device_->Write(bytes.data(), bytes.size())); }

    // Sends bytes in pieces of at most piece bytes.
    void SendInPieces(const std::string& bytes, std::size_t piece) {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            Send(bytes.substr(at, piece));
        }
    }

    // Exactly n bytes (fewer only when the guard time ran out).
    std::string Read(std::size_t n) {
        std::string got;
        Eventually([&] {
            char buffer[4096];
            const std::size_t want = std::min(sizeof buffer, n - got.size());
            got.append(buffer, device_->Read(buffer, want));
            return got.size() >= n;
        });
        return got;
    }

    // One answer: bytes up to and including SUB after CR, ETX, EOT or ACK.
    std::string Answer() {
        std::string got;
        Eventually([&] {
            char c;
            while (device_->Read(&c, 1) == 1) {
                got += c;
                if (c == SUB && got.size() >= 2) {
                    const char before = got[got.size() - 2];
                    if (before == CR || before == ETX || before == EOT || before == ACK) {
                        return true;
                    }
                }
            }
            return false;
        });
        return got;
    }

    // What has arrived and not been read.
    std::string Pending() {
        std::string got;
        char buffer[4096];
        while (std::size_t n = device_->Read(buffer, sizeof buffer)) {
            got.append(buffer, n);
        }
        return got;
    }

    // Send and read the answer.
    std::string Ask(const std::string& frame) {
        Send(frame);
        return Answer();
    }

    void Break() {
        ASSERT_TRUE(device_->EscapeFunction(platform::SETBREAK));
        ASSERT_TRUE(device_->EscapeFunction(platform::CLRBREAK));
    }

    bool Cts() {
        std::uint32_t status = 0;
        device_->GetModemStatus(status);
        return (status & platform::MS_CTS_ON) != 0;
    }

  private:
    std::unique_ptr<platform::ISerialDevice> device_;
};

// Payload of a framed answer: between the start byte and CR SUB ("" when not framed).
inline std::string Payload(const std::string& answer, char start) {
    if (answer.size() < 3 || answer.front() != start ||
        answer.substr(answer.size() - 2) != std::string{CR, SUB}) {
        return "";
    }
    return answer.substr(1, answer.size() - 3);
}

}  // namespace kz::test::wire
