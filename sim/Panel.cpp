// The simulated panel's driver: it owns the device and the thread that serves it, feeds
// what arrives to the engine (sim/PanelEngine.h) under the state lock, and executes the
// actions the engine produced, in order, outside that lock.
#include "sim/Panel.h"

#include "platform/Clock.h"
#include "sim/PanelEngine.h"
#include "sim/Wire.h"

namespace kz::sim {

const char* PanelModeName(PanelMode mode) {
    switch (mode) {
        case PanelMode::Firmware:
            return "firmware";
        case PanelMode::Loader:
            return "loader";
        case PanelMode::PoweredOff:
            return "off";
    }
    return "?";
}

Panel::Panel(std::unique_ptr<platform::ISerialDevice> device, PanelDescription description)
    : Panel(std::move(device), std::move(description), Options{}) {}

Panel::Panel(std::unique_ptr<platform::ISerialDevice> device, PanelDescription description,
             Options options)
    : device_(std::move(device)),
      options_(std::move(options)),
      engine_(std::make_unique<PanelEngine>(std::move(description), options_)) {}

Panel::~Panel() {
    Stop();
}

bool Panel::Start() {
    {
        std::lock_guard run(runMutex_);
        if (!threadDone_) {
            return false;
        }
    }
    {
        std::lock_guard io(ioMutex_);
        if (!ApplyLine(kPowerOnRate, true)) {
            return false;
        }
        device_->SetEventMask(kEventMask);
    }
    {
        std::lock_guard run(runMutex_);
        threadDone_ = false;
    }
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    return true;
}

void Panel::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    thread_.request_stop();
    // Changing the event mask releases a pending wait; repeat it in case the thread was
    // between two waits when the first release came.
    std::unique_lock run(runMutex_);
    while (!threadDone_) {
        run.unlock();
        device_->SetEventMask(kEventMask);
        run.lock();
        runCv_.wait_for(run, std::chrono::milliseconds(5), [this] { return threadDone_; });
    }
    run.unlock();
    thread_.join();
}

bool Panel::Running() const {
    return thread_.joinable() && !thread_.get_stop_token().stop_requested();
}

void Panel::Run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        std::uint32_t events = 0;
        if (!device_->WaitEvent(events)) {
            break;
        }
        if (stop.stop_requested()) {
            break;
        }
        Service(events);
    }
    std::lock_guard run(runMutex_);
    threadDone_ = true;
    runCv_.notify_all();
}

void Panel::Service(std::uint32_t /*events*/) {
    std::lock_guard io(ioMutex_);
    std::uint32_t errors = 0;
    platform::QueueStatus queues;
    device_->ClearError(errors, queues);
    std::vector<std::uint8_t> buffer(4096);
    if (errors & platform::CE_BREAK) {
        // A break resets the receiver: what it held is dropped and the line falls back to the
        // power-on rate.
        while (device_->Read(buffer.data(), buffer.size()) != 0) {
        }
        bool powered;
        {
            std::lock_guard state(stateMutex_);
            engine_->OnBreak();
            powered = engine_->Mode() != PanelMode::PoweredOff;
        }
        if (powered) {
            ApplyLine(kPowerOnRate, true);
        }
    }
    std::vector<PanelAction> actions;
    std::vector<ReceivedFrame> frames;
    for (;;) {
        const std::size_t n = device_->Read(buffer.data(), buffer.size());
        if (n == 0) {
            break;
        }
        {
            std::lock_guard state(stateMutex_);
            engine_->Feed(std::span(buffer.data(), n), platform::Clock().TickCount(), actions,
                          frames);
        }
        Execute(actions);
        actions.clear();
        if (options_.onFrame) {
            for (const ReceivedFrame& frame : frames) {
                options_.onFrame(frame);
            }
        }
        frames.clear();
    }
}

// Runs with ioMutex_ held.
void Panel::Execute(std::vector<PanelAction>& actions) {
    for (PanelAction& action : actions) {
        switch (action.kind) {
            case PanelAction::Kind::Write:
                if (action.time.count() > 0) {
                    platform::Clock().Sleep(action.time);
                }
                if (!action.bytes.empty()) {
                    device_->Write(action.bytes.data(), action.bytes.size());
                }
                break;
            case PanelAction::Kind::SetRate:
                ApplyLine(action.value, true);
                break;
            case PanelAction::Kind::LineError:
                if (options_.lineErrorHook) {
                    options_.lineErrorHook(action.value);
                }
                break;
            case PanelAction::Kind::PowerCycle:
                PowerOff();
                platform::Clock().Sleep(action.time);
                PowerOn();
                break;
        }
    }
}

// Runs with ioMutex_ held.
bool Panel::ApplyLine(std::uint32_t rate, bool powered) {
    platform::LineState line;
    line.baudRate = rate;
    line.byteSize = 8;
    line.parity = 0;
    line.stopBits = 0;
    line.rtsControl = powered ? 1 : 0;
    line.dtrControl = powered ? 1 : 0;
    const bool ok = device_->SetLineState(line);
    // Devices whose line state does not carry the modem outputs take them this way.
    device_->EscapeFunction(powered ? platform::SETRTS : platform::CLRRTS);
    device_->EscapeFunction(powered ? platform::SETDTR : platform::CLRDTR);
    if (ok) {
        std::lock_guard state(stateMutex_);
        lineRate_ = rate;
    }
    return ok;
}

// Runs with ioMutex_ held.
void Panel::PowerOff() {
    std::uint32_t rate;
    {
        std::lock_guard state(stateMutex_);
        engine_->PowerOff();
        rate = lineRate_;
    }
    ApplyLine(rate, false);
}

// Runs with ioMutex_ held.
void Panel::PowerOn() {
    device_->Purge(platform::PURGE_RXCLEAR | platform::PURGE_TXCLEAR);
    {
        std::lock_guard state(stateMutex_);
        engine_->PowerOn();
    }
    ApplyLine(kPowerOnRate, true);
}

void Panel::PowerCycle(std::chrono::milliseconds offTime) {
    {
        std::lock_guard io(ioMutex_);
        PowerOff();
    }
    platform::Clock().Sleep(offTime);
    std::lock_guard io(ioMutex_);
    PowerOn();
}

std::vector<std::uint8_t> Panel::ReadMemory(std::uint32_t address, std::size_t size) const {
    std::vector<std::uint8_t> bytes(size);
    std::lock_guard state(stateMutex_);
    engine_->Memory().Read(address, bytes);
    return bytes;
}

bool Panel::MemoryEquals(std::uint32_t address, std::span<const std::uint8_t> expected) const {
    return ReadMemory(address, expected.size()) ==
           std::vector<std::uint8_t>(expected.begin(), expected.end());
}

bool Panel::SetMemoryByte(std::uint32_t address, std::uint8_t value) {
    std::lock_guard state(stateMutex_);
    return engine_->Memory().Write(address, std::span(&value, 1)) == 1;
}

std::size_t Panel::MemoryPagesInUse() const {
    std::lock_guard state(stateMutex_);
    return engine_->Memory().PagesInUse();
}

std::uint32_t Panel::IoRegister(std::uint32_t address) const {
    std::lock_guard state(stateMutex_);
    return engine_->IoRegister(address);
}

LoaderImage Panel::Loader() const {
    std::lock_guard state(stateMutex_);
    return engine_->Loader();
}

PanelMode Panel::Mode() const {
    std::lock_guard state(stateMutex_);
    return engine_->Mode();
}

std::uint32_t Panel::Rate() const {
    std::lock_guard state(stateMutex_);
    return lineRate_;
}

bool Panel::PasswordAccepted() const {
    std::lock_guard state(stateMutex_);
    return engine_->PasswordAccepted();
}

bool Panel::Silent() const {
    std::lock_guard state(stateMutex_);
    return engine_->Silent();
}

std::vector<ReceivedFrame> Panel::Frames() const {
    std::lock_guard state(stateMutex_);
    return {engine_->Record().begin(), engine_->Record().end()};
}

std::vector<std::string> Panel::Commands() const {
    std::lock_guard state(stateMutex_);
    std::vector<std::string> commands;
    for (const ReceivedFrame& frame : engine_->Record()) {
        commands.push_back(frame.command);
    }
    return commands;
}

void Panel::ClearFrames() {
    std::lock_guard state(stateMutex_);
    engine_->ClearRecord();
}

PanelCounters Panel::Counters() const {
    std::lock_guard state(stateMutex_);
    return engine_->Counters();
}

void Panel::SetFaults(const FaultConfig& faults) {
    std::lock_guard state(stateMutex_);
    engine_->SetFaults(faults);
}

CfFiles Panel::CfCardFiles() const {
    std::lock_guard state(stateMutex_);
    return engine_->Card().Files();
}

std::optional<std::vector<std::uint8_t>> Panel::CfCardFile(const std::string& name) const {
    std::lock_guard state(stateMutex_);
    const CfFiles& files = engine_->Card().Files();
    const auto it = files.find(name);
    if (it == files.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Panel::SetCfCardFile(const std::string& name, std::vector<std::uint8_t> bytes) {
    std::lock_guard state(stateMutex_);
    engine_->Card().SetFile(name, std::move(bytes));
}

bool Panel::RemoveCfCardFile(const std::string& name) {
    std::lock_guard state(stateMutex_);
    return engine_->Card().RemoveFile(name);
}

bool Panel::CfCardPresent() const {
    std::lock_guard state(stateMutex_);
    return engine_->Card().Present();
}

void Panel::SetCfCardPresent(bool present) {
    std::lock_guard state(stateMutex_);
    engine_->Card().SetPresent(present);
}

FaultConfig Panel::Faults() const {
    std::lock_guard state(stateMutex_);
    return engine_->Faults();
}

}  // namespace kz::sim
