#include "CliRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "sim/PtyPort.h"

extern char** environ;

namespace kz::test {

namespace {

constexpr auto kChildLimit = std::chrono::minutes(2);

// Reads what fd has; false once it is closed (end of file, or EIO from a pseudo-terminal
// master whose slave side has gone).
bool Drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        }
        return false;
    }
}

void SetNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

std::string BuildDir() {
    const char* dir = std::getenv("KZ_BUILD_DIR");
    if (!dir || !*dir) {
        return {};
    }
    std::string path = dir;
    if (path.back() != '/') {
        path += '/';
    }
    return path;
}

std::string CliProgram() {
    const std::string dir = BuildDir();
    if (dir.empty()) {
        return {};
    }
    const std::string program = dir + "tools/kzmnt-cli/kzmnt-cli";
    return ::access(program.c_str(), X_OK) == 0 ? program : std::string();
}

std::vector<std::string> CliResult::OutLines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string CliResult::LastOutLine() const {
    const auto lines = OutLines();
    return lines.empty() ? std::string() : lines.back();
}

CliResult RunCli(const CliRun& run) {
    CliResult result;
    const std::string program = CliProgram();
    if (program.empty()) {
        return result;
    }

    // Everything the child needs is prepared before fork: after it, only exec-safe calls.
    std::vector<std::string> argStore = {program};
    argStore.insert(argStore.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStore) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry = *e;
        if (!entry.starts_with("LC_ALL=") && !entry.starts_with("LC_MESSAGES=") &&
            !entry.starts_with("LANG=")) {
            envStore.emplace_back(entry);
        }
    }
    envStore.emplace_back("LC_ALL=C");
    std::vector<char*> envp;
    for (std::string& entry : envStore) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("RunCli: pipe failed");
    }
    int master = -1;
    char slaveName[128] = "/dev/null";
    if (run.withTerminal) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, slaveName, sizeof slaveName) != 0) {
            throw std::runtime_error("RunCli: no pseudo-terminal");
        }
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("RunCli: fork failed");
    }
    if (pid == 0) {
        ::setsid();
        const int in = ::open(slaveName, run.withTerminal ? O_RDWR : O_RDONLY);
        if (in < 0) {
            ::_exit(126);
        }
        if (run.withTerminal) {
            ::ioctl(in, TIOCSCTTY, 0);
        }
        ::dup2(in, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(run.withTerminal && run.errOnTerminal ? in : errPipe[1], STDERR_FILENO);
        // As from a shell: a write to a closed pipe raises SIGPIPE unless the program says
        // otherwise.
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    SetNonBlocking(outPipe[0]);
    SetNonBlocking(errPipe[0]);
    if (master >= 0) {
        SetNonBlocking(master);
    }

    const auto deadline = std::chrono::steady_clock::now() + kChildLimit;
    bool outOpen = true;
    bool errOpen = true;
    bool ttyOpen = master >= 0;
    bool killed = false;
    bool interrupted = false;
    std::size_t nextAnswer = 0;
    std::size_t searchFrom = 0;
    while (outOpen || errOpen) {
        pollfd fds[3] = {{outOpen ? outPipe[0] : -1, POLLIN, 0},
                         {errOpen ? errPipe[0] : -1, POLLIN, 0},
                         {ttyOpen ? master : -1, POLLIN, 0}};
        ::poll(fds, 3, 200);
        if (outOpen && fds[0].revents != 0) {
            outOpen = Drain(outPipe[0], result.out);
        }
        if (errOpen && fds[1].revents != 0) {
            errOpen = Drain(errPipe[0], result.err);
        }
        if (ttyOpen && fds[2].revents != 0) {
            ttyOpen = Drain(master, result.terminal);
        }
        while (ttyOpen && nextAnswer < run.answers.size()) {
            const auto& [prompt, answer] = run.answers[nextAnswer];
            const std::size_t at = result.terminal.find(prompt, searchFrom);
            if (at == std::string::npos) {
                break;
            }
            searchFrom = at + prompt.size();
            [[maybe_unused]] const ssize_t n = ::write(master, answer.data(), answer.size());
            ++nextAnswer;
        }
        if (!interrupted && !run.interruptOn.empty() &&
            (result.out.find(run.interruptOn) != std::string::npos ||
             result.err.find(run.interruptOn) != std::string::npos)) {
            ::kill(pid, run.interruptSignal);
            interrupted = true;
        }
        if (outOpen && !run.closeOutOn.empty() &&
            result.out.find(run.closeOutOn) != std::string::npos) {
            ::close(outPipe[0]);
            outPipe[0] = -1;
            outOpen = false;
        }
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (ttyOpen) {
        Drain(master, result.terminal);
    }
    if (outPipe[0] >= 0) {
        ::close(outPipe[0]);
    }
    ::close(errPipe[0]);
    if (master >= 0) {
        ::close(master);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

PtyPanel::PtyPanel(sim::PanelDescription description) {
    std::string error;
    auto port = sim::PtyPort::Open(&error);
    if (!port) {
        throw std::runtime_error("PtyPanel: " + error);
    }
    slave_ = port->SlavePath();
    sim::Panel::Options options;
    // A pseudo-terminal carries no break: a broken frame is dropped after a quiet second.
    options.idleReset = std::chrono::milliseconds(1000);
    panel_ = std::make_unique<sim::Panel>(std::move(port), std::move(description), options);
    if (!panel_->Start()) {
        throw std::runtime_error("PtyPanel: the panel did not start");
    }
}

PtyPanel::~PtyPanel() {
    panel_->Stop();
}

}  // namespace kz::test
