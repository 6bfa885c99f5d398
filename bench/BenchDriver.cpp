#include "BenchDriver.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "config/StringTable.h"
#include "platform/ProgramFolder.h"
#include "platform/SerialDevice.h"
#include "support/LoaderFile.h"
#include "support/TestFolder.h"

namespace kz::bench {

// ---- CPU clocks ------------------------------------------------------------------------------

namespace {

double Seconds(const timespec& ts) {
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The CPU clock of any thread of this process by its kernel id: the encoding the kernel
// defines for per-thread scheduler clocks (the one pthread_getcpuclockid also builds).
clockid_t ThreadClock(pid_t tid) {
    return static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
}

}  // namespace

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return Seconds(ts);
}

double ThreadCpuSeconds(pid_t tid) {
    timespec ts{};
    if (clock_gettime(ThreadClock(tid), &ts) != 0) {
        return -1;
    }
    return Seconds(ts);
}

pid_t CurrentTid() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

std::vector<pid_t> ThreadIds() {
    std::vector<pid_t> ids;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) {
        return ids;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const long id = std::strtol(entry->d_name, nullptr, 10);
        if (id > 0) {
            ids.push_back(static_cast<pid_t>(id));
        }
    }
    ::closedir(dir);
    std::sort(ids.begin(), ids.end());
    return ids;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// ---- Panel, model and program folder ---------------------------------------------------------

std::string BenchModel(std::uint32_t fromBytes, std::uint32_t sramBytes, std::uint32_t unit) {
    test::ModelChoices choices;
    choices.name = "KZ-BENCH";
    choices.loaderFile = kLoaderFile;
    choices.offset = unit;
    return test::ModelSection(test::TestPanel(fromBytes, sramBytes), choices);
}

BenchFolder::BenchFolder(const LinkConfig& link, const std::string& port,
                         const std::string& model) {
    dir_.Write("KZMNT.INI", test::ProgramIni(link.baud, link.writeTimeout, link.readTimeout,
                                             link.retry, "AUTOFILENAME=0\r\n", port, model));
    dir_.Write(kLoaderFile, test::LoaderText(kLoaderAddress, kLoaderBody));
}

// ---- In-process rig ------------------------------------------------------------------------

namespace {
std::string UniqueLinkName() {
    static std::atomic<int> counter{0};
    return "bench-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}
}  // namespace

Rig::Rig(const RigOptions& options) : options_(options) {
    const std::string name = UniqueLinkName();
    link_ = platform::VirtualSerialLink::Create(name);
    if (!link_) {
        throw std::runtime_error("bench: virtual link name in use");
    }
    folder_ = std::make_unique<BenchFolder>(
        options.link, "virtual:" + name,
        BenchModel(options.fromBytes, options.sramBytes, options.unit));
    platform::SetProgramFolder(folder_->Folder());
    if (options.clockFactor > 1) {
        clock_ = std::make_unique<platform::ScaledClock>(options.clockFactor);
        platform::SetClock(clock_.get());
    } else {
        platform::SetClock(nullptr);
    }
    link_->SetWireTiming(options.wireTiming);

    sim::Panel::Options panelOptions;
    panelOptions.recordLimit = 0;
    panelOptions.onFrame = options.onFrame;
    const std::vector<pid_t> before = ThreadIds();
    panel_ = std::make_unique<test::PanelFixture>(
        test::TestPanel(options.fromBytes, options.sramBytes), link_, std::move(panelOptions),
        options.wrapPanelDevice);
    for (pid_t tid : ThreadIds()) {
        if (!std::binary_search(before.begin(), before.end(), tid)) {
            panelTid_ = tid;
        }
    }
}

Rig::~Rig() {
    panel_.reset();
    platform::SetClock(nullptr);
    platform::SetProgramFolder("");
}

// ---- View and marks ------------------------------------------------------------------------

namespace {
// True when the thread sits in a sleep call (the tick thread sleeps between ticks; the
// comm-event thread waits on a condition variable instead).
bool Sleeping(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    in >> number;
    return number == SYS_nanosleep || number == SYS_clock_nanosleep;
}

}  // namespace

BenchView::BenchView() {
    std::unique_lock lock(mutex_);
    ui_ = std::thread([this] { UiThread(); });
    cv_.wait(lock, [this] { return uiTid_ != 0; });
}

BenchView::~BenchView() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        cv_.notify_all();
    }
    ui_.join();
}

void BenchView::Arm(CMemoryOperation* op, const std::string& dataPrefix,
                    platform::VirtualSerialLink* link) {
    std::lock_guard lock(mutex_);
    op_ = op;
    dataPrefix_ = dataPrefix;
    link_ = link;
    lines_.clear();
    completed_ = false;
    start = dataStart = dataEnd = complete = Mark{};
}

void BenchView::Take(Mark& mark, bool sampleSleep) {
    Mark m;
    m.at = Steady::now();
    m.processCpu = ProcessCpuSeconds();
    for (pid_t tid : ThreadIds()) {
        const double cpu = ThreadCpuSeconds(tid);
        if (cpu >= 0) {
            m.threadCpu[tid] = cpu;
        }
    }
    m.caller = CurrentTid();
    if (link_ != nullptr) {
        m.pcBytes = link_->BytesWritten(platform::VirtualSerialLink::End::Pc);
        m.panelBytes = link_->BytesWritten(platform::VirtualSerialLink::End::Panel);
    }
    if (sampleSleep) {
        // After the clocks were read, so the sampling costs nothing inside the window.
        for (const auto& [tid, cpu] : m.threadCpu) {
            int asleep = 0;
            for (int i = 0; i < kSleepSamples; ++i) {
                asleep += Sleeping(tid) ? 1 : 0;
            }
            m.asleep[tid] = asleep;
        }
    }
    m.taken = true;
    std::lock_guard lock(mutex_);
    mark = std::move(m);
}

void BenchView::MarkStart() {
    Take(start);
}

void BenchView::AddStatusLine(const std::string& text) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(text);
        first = !dataStart.taken && !dataPrefix_.empty() && text.rfind(dataPrefix_, 0) == 0;
    }
    if (first) {
        Take(dataStart);
    }
}

void BenchView::SetProgress(int position) {
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        last = position >= 100 && !dataEnd.taken;
    }
    if (last) {
        Take(dataEnd, true);
    }
}

void BenchView::PostViewMessage(unsigned msg, std::uintptr_t, RequestEvent* request) {
    if (msg == WM_OPERATION_COMPLETE) {
        Take(complete);
    }
    std::lock_guard lock(mutex_);
    queue_.push_back({msg, request});
    cv_.notify_all();
}

void BenchView::UiThread() {
    std::unique_lock lock(mutex_);
    uiTid_ = CurrentTid();
    cv_.notify_all();
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        const Posted posted = queue_.front();
        queue_.pop_front();
        CMemoryOperation* op = op_;
        lock.unlock();
        if (posted.msg == WM_MODEL_INFO_REQUEST && op != nullptr) {
            const ModelInfoExchange info = op->ModelInfoRequest();
            op->AnswerModelInfo(true, info.modelName, info.bkFile, info.baud);
        }
        if (posted.request != nullptr) {
            posted.request->Set();
        }
        lock.lock();
        if (posted.msg == WM_OPERATION_COMPLETE) {
            completed_ = true;
            cv_.notify_all();
        }
    }
}

bool BenchView::WaitComplete(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return completed_; });
}

std::vector<std::string> BenchView::Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

// ---- Running an operation -----------------------------------------------------------------

namespace {

double Delta(const Mark& from, const Mark& to, pid_t tid) {
    auto a = from.threadCpu.find(tid);
    auto b = to.threadCpu.find(tid);
    if (a == from.threadCpu.end() || b == to.threadCpu.end()) {
        return 0;
    }
    return b->second - a->second;
}

}  // namespace

RunResult RunOperation(CMemoryOperation& op, const std::string& dataPrefix,
                       platform::VirtualSerialLink* link, pid_t panelTid,
                       std::chrono::seconds timeout) {
    BenchView view;
    op.SetView(&view);
    op.SetPrompt(&view);
    view.Arm(&op, dataPrefix, link);
    view.MarkStart();
    op.PostEvent(EVENT_NONE);
    RunResult r;
    r.finished = view.WaitComplete(timeout);
    op.WaitIdle();
    r.error = op.m_nError;
    r.lines = view.Lines();
    for (const std::string& line : r.lines) {
        if (line == GetString(msg::kTimeOut) || line == GetString(msg::kDataError)) {
            ++r.retries;
        }
    }
    if (!r.finished || !view.dataStart.taken || !view.dataEnd.taken) {
        return r;
    }
    auto seconds = [](const Mark& a, const Mark& b) {
        return std::chrono::duration<double>(b.at - a.at).count();
    };
    r.wholeSeconds = seconds(view.start, view.complete);
    r.dataSeconds = seconds(view.dataStart, view.dataEnd);
    r.dataFrom = view.dataStart.at;
    r.dataTo = view.dataEnd.at;
    r.processCpu = view.dataEnd.processCpu - view.dataStart.processCpu;
    r.wholeProcessCpu = view.complete.processCpu - view.start.processCpu;
    r.panelCpu = Delta(view.dataStart, view.dataEnd, panelTid);
    r.wholePanelCpu = Delta(view.start, view.complete, panelTid);
    r.eventCpu = Delta(view.dataStart, view.dataEnd, view.dataStart.caller);
    r.pcBytes = view.dataEnd.pcBytes - view.dataStart.pcBytes;
    r.panelBytes = view.dataEnd.panelBytes - view.dataStart.panelBytes;

    // The operation's other threads: alive through the data phase and none of ours.
    std::vector<pid_t> others;
    for (const auto& [tid, cpu] : view.dataStart.threadCpu) {
        if (tid == ::getpid() || tid == view.UiTid() || tid == panelTid ||
            tid == view.dataStart.caller || !view.dataEnd.threadCpu.contains(tid)) {
            continue;
        }
        others.push_back(tid);
    }
    // The tick thread is the one found asleep in most samples at the end of the data phase.
    pid_t timer = 0;
    int best = -1;
    for (pid_t tid : others) {
        auto it = view.dataEnd.asleep.find(tid);
        const int asleep = it == view.dataEnd.asleep.end() ? 0 : it->second;
        if (asleep > best) {
            best = asleep;
            timer = tid;
        }
    }
    for (pid_t tid : others) {
        const double cpu = Delta(view.dataStart, view.dataEnd, tid);
        if (tid == timer) {
            r.timerCpu += cpu;
        } else {
            r.commCpu += cpu;
        }
    }
    return r;
}

}  // namespace kz::bench
