// Scenario fixture for the LAN library: a LAN panel simulator on an ephemeral 127.0.0.1
// port, a program folder holding a copy of the real library file and its node list, the
// binding loaded from there, and a session open to the panel.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lan/LanLibrary.h"
#include "platform/ProgramFolder.h"
#include "sim/LanServer.h"
#include "support/TempDir.h"

namespace kz::test {

// Collects the library's completions; the socket's user pointer leads the callback here.
class Completions {
  public:
    static int KZ_MTOM_CALL Callback(lan::MtoMSocket* socket, int result) {
        auto* self = static_cast<Completions*>(lan::UserPointer(socket));
        std::lock_guard lock(self->mutex_);
        self->results_.push_back(result);
        self->errorCodes_.push_back(lan::ErrorCode(socket));
        if (!self->callReturned.load()) {
            self->beforeReturn_ = true;
        }
        self->changed_.notify_all();
        return 0;
    }

    // The next completion's result and m_dwErrorCode; {-1, 0} when none came (the wait is
    // only a safety net against a hanging test, never a measured time).
    std::pair<int, std::uint32_t> Next() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(30),
                               [&] { return taken_ < results_.size(); })) {
            return {-1, 0};
        }
        ++taken_;
        return {results_[taken_ - 1], errorCodes_[taken_ - 1]};
    }
    std::size_t Count() {
        std::lock_guard lock(mutex_);
        return results_.size();
    }
    bool SawCompletionBeforeReturn() {
        std::lock_guard lock(mutex_);
        return beforeReturn_;
    }

    // Cleared by the test while an accepting call runs.
    std::atomic<bool> callReturned{true};

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> results_;
    std::vector<std::uint32_t> errorCodes_;
    std::size_t taken_ = 0;
    bool beforeReturn_ = false;
};

inline sim::LanFault Fault(kevrosa::Op op, sim::LanFault::Kind kind) {
    sim::LanFault fault;
    fault.op = op;
    fault.kind = kind;
    return fault;
}

class LanTest : public ::testing::Test {
  protected:
    ~LanTest() override {
        CloseSession();
        lib.Unload();
        if (server) {
            server->Stop();
        }
        platform::SetProgramFolder("");
    }

    // Starts the panel and installs the library (or libraryFile) with a node list naming
    // the panel; loads the binding from the program folder.
    void Start(sim::PanelDescription description = sim::DemoPanel(),
               const std::string& libraryFile = KZ_KEVROSA_FILE) {
        server = std::make_unique<sim::LanServer>(std::move(description));
        ASSERT_TRUE(server->Start(0));
        Install(libraryFile, server->Endpoint() + "\n");
        ASSERT_TRUE(lib.Load());
    }

    void Install(const std::string& libraryFile, const std::string& nodeList) {
        namespace fs = std::filesystem;
        // A loaded library's file is mapped: never rewrite it in place.
        lib.Unload();
        fs::remove(program.path() / lan::kLibraryFile);
        fs::copy_file(libraryFile, program.path() / lan::kLibraryFile);
        program.Write("Kevrosa.conf", nodeList);
        platform::SetProgramFolder(program.str());
    }

    // A new socket (user pointer: the completions) opened to the panel without a callback.
    void OpenSession() {
        sock = lib.CreateMtoMSocket(lan::kSocketKind);
        ASSERT_NE(sock, nullptr);
        lan::SetUserPointer(sock, &done);
        ASSERT_EQ(lib.OpenMtoMLAN(sock, nullptr, server->Endpoint().c_str()), 0);
    }

    void CloseSession() {
        if (sock != nullptr) {
            lib.CancelMtoM(sock);
            lib.CloseMtoM(sock, nullptr);
            lib.FreeMtoMSocket(sock);
            sock = nullptr;
        }
    }

    struct Outcome {
        int call = 0;             // what the accepting call returned
        int result = -1;          // the completion's result (only when call was 1)
        std::uint32_t cause = 0;  // m_dwErrorCode: at the completion, or after a refusal
    };

    // Issues a request with the callback and waits for its completion.
    template <typename Call>
    Outcome Async(Call call) {
        Outcome o;
        done.callReturned = false;
        o.call = call(&Completions::Callback);
        done.callReturned = true;
        if (o.call != lan::kResultAccepted) {
            o.cause = lan::ErrorCode(sock);
            return o;
        }
        std::tie(o.result, o.cause) = done.Next();
        return o;
    }

    // Downloads and starts a loader (and, for an old panel, the extension program and the
    // cold restart followed by a new session and the loader again).
    void StartLoader() {
        std::vector<std::uint8_t> body = {1, 2, 3, 4, 5};
        auto download = Async([&](lan::MtoMCallback cb) {
            return lib.DownloadingSystemDownloaderFile(sock, cb, 0x1000, 5, body.data());
        });
        ASSERT_EQ(download.result, 0);
        auto start = Async([&](lan::MtoMCallback cb) {
            return lib.InvokingTheDownloadedObject(sock, cb, 0x1000);
        });
        ASSERT_EQ(start.result, 0);
    }

    TempDir program;
    std::unique_ptr<sim::LanServer> server;
    lan::LanLibrary lib;
    lan::MtoMSocket* sock = nullptr;
    Completions done;
};

}  // namespace kz::test
