// One event thread per operation. The UI thread (start, abort), the protocol's timer
// thread and the comm-event thread only queue events here; the loop's own thread hands
// them to the operation one at a time. So dispatcher calls never overlap, and a step that
// blocks on a request to the UI blocks only this thread, never the UI.
//
// Thread-safety: Post() may be called from any thread. Stop() from any thread but the
// loop's own. The handler runs on the loop thread only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kz {

class EventLoop {
  public:
    // handler(event, token): token is whatever the poster attached (the protocol engine
    // stamps time-outs with the generation of the countdown they belong to).
    using Handler = std::function<void(int event, std::uint64_t token)>;

    explicit EventLoop(Handler handler);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Queues an event. When coalesce is true and the same event is already waiting, the
    // new one is dropped: "characters arrived" twice before the first is handled means
    // nothing more than once, and a flood of line events must not grow the queue.
    void Post(int event, std::uint64_t token = 0, bool coalesce = false);

    // Discards waiting events, lets the current handler call finish and ends the thread.
    // Later posts are ignored. Idempotent.
    void Stop();

    bool IsLoopThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Blocks until no event is waiting and none is being handled (for tests).
    void WaitIdle();

  private:
    struct Item {
        int event;
        std::uint64_t token;
    };
    void Run();

    Handler handler_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable idleCv_;
    std::deque<Item> queue_;
    bool stopping_ = false;
    bool busy_ = false;
    std::thread thread_;
};

}  // namespace kz
