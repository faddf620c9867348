#pragma once
// Hand-off of calls from the monitor thread to the main thread. The
// application supplies the waker (a queued call into its event loop); tests
// and other loops may simply call RunPending or RunUntil themselves.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace serial {

class TMainThreadDispatcher {
public:
    using Call = std::function<void()>;

    TMainThreadDispatcher() = default;
    TMainThreadDispatcher(const TMainThreadDispatcher&) = delete;
    TMainThreadDispatcher& operator=(const TMainThreadDispatcher&) = delete;
    virtual ~TMainThreadDispatcher() = default;

    // Any thread: queue a call for the main thread and wake it.
    void Post(Call call);

    // Main thread: runs the calls queued so far (and any they queue in turn
    // before the queue is seen empty). Calls may nest. Returns how many ran.
    std::size_t RunPending();

    // Main thread: runs queued calls as they arrive until done() holds.
    // done() is checked after each call and whenever Notify is called.
    void RunUntil(const std::function<bool()>& done);

    // Any thread: a condition a RunUntil or WaitUntil waits for may have
    // changed. Also wakes the main thread.
    void Notify();

    // How the main thread waits for another thread (a port's monitor to
    // end) while the queued calls keep running: the application's rule for
    // the rest of its events goes with it. Set it on the main thread before
    // any port opens; without one, RunUntil.
    using Waiter = std::function<void(const std::function<bool()>& done)>;
    void SetWaiter(Waiter waiter) { waiter_ = std::move(waiter); }
    // Main thread: waits until done() holds, through the waiter.
    void WaitUntil(const std::function<bool()>& done);

    // Any thread: how many calls wait to be run.
    std::size_t QueuedCount();

    // Main thread: waits at most timeoutMs for a call to be queued, then
    // runs what is queued. Returns how many ran. For plain loops.
    std::size_t WaitAndRun(int timeoutMs);

protected:
    // Ask the main thread to call RunPending soon. Called from any thread,
    // without the dispatcher's lock held, once per batch of posts and by
    // Notify.
    virtual void WakeMainThread() = 0;

private:
    bool PopOne(Call& call);

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Call> queue_;
    bool wakePending_ = false;
    unsigned long notifyCount_ = 0;
    Waiter waiter_; // main thread only
};

// A dispatcher whose waker does nothing: queued calls run only when the main
// thread calls RunPending, RunUntil or WaitAndRun. The process-wide default.
class TPlainDispatcher final : public TMainThreadDispatcher {
protected:
    void WakeMainThread() override {}
};

// The dispatcher that ports use when none was given to them.
TMainThreadDispatcher& DefaultDispatcher();
void SetDefaultDispatcher(TMainThreadDispatcher* dispatcher); // nullptr: back to the plain one

} // namespace serial
