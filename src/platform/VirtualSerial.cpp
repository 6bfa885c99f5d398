#include "platform/VirtualSerial.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace kz::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// One byte on its way through the cable (wire timing only).
struct InFlight {
    std::uint8_t byte;
    bool garbled;
    SteadyClock::time_point due;
};

// What one end of the cable holds: its driver queues, line settings, modem outputs and
// the event state of the device object open on it.
struct EndState {
    bool open = false;
    bool closing = false;  // the device object is being destroyed; waiters must leave
    LineState line;
    bool rts = false;
    bool dtr = false;
    bool breakOn = false;
    std::deque<std::uint8_t> input;
    std::deque<InFlight> output;
    SteadyClock::time_point txFreeAt{};
    std::uint32_t errors = 0;
    std::uint32_t mask = 0;
    std::uint32_t events = 0;
    std::uint64_t waitGeneration = 0;  // bumped by SetEventMask to release a wait
    int waiters = 0;                   // threads in WaitEvent
    int writers = 0;                   // threads in Write
    std::uint64_t written = 0;
};

bool LineOn(std::uint8_t control) {
    return control != 0;
}

}  // namespace

// The shared state of one link; devices keep it alive after the link object is gone.
class VirtualLinkCore {
  public:
    std::mutex mutex;
    std::condition_variable cv;
    EndState ends[2];
    bool wireTiming = false;
    std::size_t outputLimit = VirtualSerialLink::kDefaultOutputQueue;

    static int Peer(int end) { return 1 - end; }

    // The following run with mutex held.

    void Raise(int end, std::uint32_t ev) {
        EndState& e = ends[end];
        if (!e.open) {
            return;
        }
        if (ev & e.mask) {
            e.events |= ev & e.mask;
            cv.notify_all();
        }
    }

    void Deliver(int to, std::uint8_t byte, bool garbled) {
        EndState& r = ends[to];
        if (!r.open) {
            return;  // nobody listens on that end: the byte is lost
        }
        r.input.push_back(garbled ? std::uint8_t{0} : byte);
        if (garbled) {
            r.errors |= CE_FRAME;
            Raise(to, EV_ERR);
        }
        Raise(to, EV_RXCHAR);
        if (!garbled && static_cast<char>(byte) == r.line.evtChar) {
            Raise(to, EV_RXFLAG);
        }
        cv.notify_all();
    }

    // A byte is garbled when the two ends ran at different rates when it was sent.
    bool Garbled(int writer) const {
        return ends[writer].line.baudRate != ends[Peer(writer)].line.baudRate;
    }

    // Moves every byte whose time has come to the receiving end.
    void Advance(SteadyClock::time_point now) {
        for (int w = 0; w < 2; ++w) {
            EndState& e = ends[w];
            bool delivered = false;
            while (!e.output.empty() && (!wireTiming || e.output.front().due <= now)) {
                InFlight f = e.output.front();
                e.output.pop_front();
                Deliver(Peer(w), f.byte, f.garbled);
                delivered = true;
            }
            if (delivered && e.output.empty()) {
                Raise(w, EV_TXEMPTY);
                cv.notify_all();  // a writer blocked on a full queue may go on
            }
        }
    }

    SteadyClock::time_point NextDue() const {
        auto next = SteadyClock::time_point::max();
        for (const EndState& e : ends) {
            if (!e.output.empty()) {
                next = std::min(next, e.output.front().due);
            }
        }
        return next;
    }

    // Blocks until the condition holds, delivering bytes on their schedule meanwhile.
    template <typename Pred>
    void WaitUntil(std::unique_lock<std::mutex>& lock, Pred pred) {
        for (;;) {
            Advance(SteadyClock::now());
            if (pred()) {
                return;
            }
            auto due = NextDue();
            if (due == SteadyClock::time_point::max()) {
                cv.wait(lock);
            } else {
                cv.wait_until(lock, due);
            }
        }
    }

    void SetLines(int end, bool rts, bool dtr) {
        EndState& e = ends[end];
        std::uint32_t peerEvents = 0;
        if (e.rts != rts) {
            peerEvents |= EV_CTS;
        }
        if (e.dtr != dtr) {
            peerEvents |= EV_DSR | EV_RLSD;
        }
        e.rts = rts;
        e.dtr = dtr;
        if (peerEvents != 0) {
            Raise(Peer(end), peerEvents);
        }
    }
};

namespace {

class VirtualDevice final : public ISerialDevice {
  public:
    VirtualDevice(std::shared_ptr<VirtualLinkCore> core, int end)
        : core_(std::move(core)), end_(end) {}

    ~VirtualDevice() override {
        std::unique_lock lock(core_->mutex);
        EndState& e = Me();
        // Release a thread blocked in WaitEvent and wait until it has left.
        e.closing = true;
        core_->cv.notify_all();
        core_->cv.wait(lock, [&] { return e.waiters == 0 && e.writers == 0; });
        e.closing = false;
        e.output.clear();
        e.input.clear();
        e.errors = 0;
        e.events = 0;
        e.mask = 0;
        e.breakOn = false;
        core_->SetLines(end_, false, false);
        e.open = false;
        core_->cv.notify_all();
    }

    DeviceCaps Caps() const override {
        DeviceCaps caps;
        caps.modemLines = true;
        caps.errorCounts = true;
        caps.breakSignal = true;
        return caps;
    }

    bool GetLineState(LineState& state) override {
        std::lock_guard lock(core_->mutex);
        state = Me().line;
        return true;
    }

    bool SetLineState(const LineState& state) override {
        if (state.baudRate == 0 || state.byteSize < 5 || state.byteSize > 8 || state.parity > 4 ||
            state.stopBits > 2 || state.rtsControl > 3 || state.dtrControl > 2) {
            return false;
        }
        std::lock_guard lock(core_->mutex);
        Me().line = state;
        core_->SetLines(end_, LineOn(state.rtsControl), LineOn(state.dtrControl));
        return true;
    }

    bool SetQueueSizes(std::uint32_t, std::uint32_t) override { return true; }

    std::size_t Read(void* buffer, std::size_t max) override {
        std::lock_guard lock(core_->mutex);
        core_->Advance(SteadyClock::now());
        EndState& e = Me();
        std::size_t n = std::min(max, e.input.size());
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::copy_n(e.input.begin(), n, out);
        e.input.erase(e.input.begin(), e.input.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }

    bool Write(const void* buffer, std::size_t count) override {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        std::unique_lock lock(core_->mutex);
        VirtualLinkCore& c = *core_;
        EndState& e = Me();
        const int peer = VirtualLinkCore::Peer(end_);
        e.written += count;
        // Counted, so that destroying the device waits for us to leave.
        ++e.writers;
        bool ok = true;
        std::size_t i = 0;
        while (i < count) {
            c.Advance(SteadyClock::now());
            if (e.closing) {
                ok = false;
                break;
            }
            if (!c.wireTiming) {
                for (; i < count; ++i) {
                    c.Deliver(peer, bytes[i], c.Garbled(end_));
                }
                c.Raise(end_, EV_TXEMPTY);
                break;
            }
            if (e.output.size() >= c.outputLimit) {
                c.WaitUntil(lock, [&] {
                    return e.closing || !c.wireTiming || e.output.size() < c.outputLimit;
                });
                continue;
            }
            const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / e.line.baudRate);
            const auto now = SteadyClock::now();
            for (; i < count && e.output.size() < c.outputLimit; ++i) {
                auto start = std::max(now, e.txFreeAt);
                e.txFreeAt = start + byteTime;
                e.output.push_back({bytes[i], c.Garbled(end_), e.txFreeAt});
            }
            c.cv.notify_all();  // waiters must now wake for the new schedule
        }
        --e.writers;
        c.cv.notify_all();
        return ok;
    }

    bool ClearError(std::uint32_t& errors, QueueStatus& status) override {
        std::lock_guard lock(core_->mutex);
        core_->Advance(SteadyClock::now());
        EndState& e = Me();
        errors = e.errors;
        e.errors = 0;
        status.inQueue = static_cast<std::uint32_t>(e.input.size());
        status.outQueue = static_cast<std::uint32_t>(e.output.size());
        return true;
    }

    bool Purge(std::uint32_t flags) override {
        std::lock_guard lock(core_->mutex);
        EndState& e = Me();
        if (flags & PURGE_RXCLEAR) {
            e.input.clear();
        }
        if (flags & (PURGE_TXCLEAR | PURGE_TXABORT)) {
            e.output.clear();
            e.txFreeAt = SteadyClock::now();
            core_->cv.notify_all();
        }
        return true;
    }

    bool EscapeFunction(int function) override {
        std::lock_guard lock(core_->mutex);
        VirtualLinkCore& c = *core_;
        EndState& e = Me();
        const int peer = VirtualLinkCore::Peer(end_);
        switch (function) {
            case SETRTS:
            case CLRRTS:
                c.SetLines(end_, function == SETRTS, e.dtr);
                return true;
            case SETDTR:
            case CLRDTR:
                c.SetLines(end_, e.rts, function == SETDTR);
                return true;
            case SETBREAK:
                if (!e.breakOn) {
                    e.breakOn = true;
                    if (c.ends[peer].open) {
                        c.ends[peer].errors |= CE_BREAK;
                        c.Raise(peer, EV_BREAK);
                    }
                }
                return true;
            case CLRBREAK:
                e.breakOn = false;
                return true;
            case SETXON:
            case SETXOFF:
                return true;
            default:
                return false;
        }
    }

    bool GetModemStatus(std::uint32_t& status) override {
        std::lock_guard lock(core_->mutex);
        const EndState& p = core_->ends[VirtualLinkCore::Peer(end_)];
        status = 0;
        if (p.rts) {
            status |= MS_CTS_ON;
        }
        if (p.dtr) {
            status |= MS_DSR_ON | MS_RLSD_ON;
        }
        return true;
    }

    bool SetEventMask(std::uint32_t mask) override {
        std::lock_guard lock(core_->mutex);
        EndState& e = Me();
        e.mask = mask;
        e.events = 0;
        ++e.waitGeneration;
        core_->cv.notify_all();
        return true;
    }

    bool GetEventMask(std::uint32_t& mask) override {
        std::lock_guard lock(core_->mutex);
        mask = Me().mask;
        return true;
    }

    bool WaitEvent(std::uint32_t& events) override {
        std::unique_lock lock(core_->mutex);
        EndState& e = Me();
        events = 0;
        if (e.closing) {
            return false;
        }
        const std::uint64_t generation = e.waitGeneration;
        ++e.waiters;
        core_->cv.notify_all();  // for WaitForEventWaiter
        core_->WaitUntil(lock, [&] {
            return e.closing || e.waitGeneration != generation || (e.events & e.mask) != 0;
        });
        bool ok = !e.closing;
        if (ok && e.waitGeneration == generation) {
            events = e.events & e.mask;
            e.events = 0;
        }
        --e.waiters;
        core_->cv.notify_all();
        return ok;
    }

  private:
    EndState& Me() { return core_->ends[end_]; }

    std::shared_ptr<VirtualLinkCore> core_;
    int end_;
};

struct RegistryEntry {
    std::weak_ptr<VirtualSerialLink> link;
    const VirtualSerialLink* raw = nullptr;
};

std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, RegistryEntry>& Registry() {
    static std::map<std::string, RegistryEntry> r;
    return r;
}

int Index(VirtualSerialLink::End end) {
    return end == VirtualSerialLink::End::Pc ? 0 : 1;
}

}  // namespace

VirtualSerialLink::VirtualSerialLink(std::string name)
    : name_(std::move(name)), core_(std::make_shared<VirtualLinkCore>()) {}

VirtualSerialLink::~VirtualSerialLink() {
    std::lock_guard lock(RegistryMutex());
    auto it = Registry().find(name_);
    if (it != Registry().end() && it->second.raw == this) {
        Registry().erase(it);
    }
}

std::shared_ptr<VirtualSerialLink> VirtualSerialLink::Create(const std::string& name) {
    std::lock_guard lock(RegistryMutex());
    auto& entry = Registry()[name];
    if (entry.link.lock()) {
        return nullptr;
    }
    std::shared_ptr<VirtualSerialLink> link(new VirtualSerialLink(name));
    entry.link = link;
    entry.raw = link.get();
    return link;
}

std::shared_ptr<VirtualSerialLink> VirtualSerialLink::Find(const std::string& name) {
    std::lock_guard lock(RegistryMutex());
    auto it = Registry().find(name);
    return it == Registry().end() ? nullptr : it->second.link.lock();
}

std::unique_ptr<ISerialDevice> VirtualSerialLink::OpenEnd(End end) {
    const int i = Index(end);
    std::lock_guard lock(core_->mutex);
    EndState& e = core_->ends[i];
    if (e.open) {
        return nullptr;
    }
    e.open = true;
    e.input.clear();
    e.output.clear();
    e.errors = 0;
    e.events = 0;
    e.mask = 0;
    e.breakOn = false;
    e.txFreeAt = SteadyClock::now();
    core_->SetLines(i, LineOn(e.line.rtsControl), LineOn(e.line.dtrControl));
    return std::make_unique<VirtualDevice>(core_, i);
}

bool VirtualSerialLink::IsEndOpen(End end) const {
    std::lock_guard lock(core_->mutex);
    return core_->ends[Index(end)].open;
}

bool VirtualSerialLink::WaitForEventWaiter(End end, std::chrono::milliseconds timeout) {
    const int i = Index(end);
    std::unique_lock lock(core_->mutex);
    return core_->cv.wait_for(lock, timeout, [&] { return core_->ends[i].waiters > 0; });
}

void VirtualSerialLink::SetWireTiming(bool on) {
    std::lock_guard lock(core_->mutex);
    core_->wireTiming = on;
    if (!on) {
        core_->Advance(SteadyClock::now());
    }
    core_->cv.notify_all();
}

void VirtualSerialLink::SetOutputQueueLimit(std::size_t bytes) {
    std::lock_guard lock(core_->mutex);
    core_->outputLimit = std::max<std::size_t>(bytes, 1);
    core_->cv.notify_all();
}

void VirtualSerialLink::InjectLineError(End receiver, std::uint32_t ceFlags) {
    const int i = Index(receiver);
    std::lock_guard lock(core_->mutex);
    if (!core_->ends[i].open) {
        return;
    }
    core_->ends[i].errors |= ceFlags;
    core_->Raise(i, EV_ERR);
}

std::uint64_t VirtualSerialLink::BytesWritten(End writer) const {
    std::lock_guard lock(core_->mutex);
    return core_->ends[Index(writer)].written;
}

}  // namespace kz::platform
