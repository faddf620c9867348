#include "serial/dispatcher.h"

#include <atomic>
#include <chrono>

namespace serial {

void TMainThreadDispatcher::Post(Call call) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(call));
        if (!wakePending_) {
            wakePending_ = true;
            wake = true;
        }
    }
    cv_.notify_all();
    if (wake)
        WakeMainThread();
}

bool TMainThreadDispatcher::PopOne(Call& call) {
    std::lock_guard lock(mutex_);
    if (queue_.empty())
        return false;
    call = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

std::size_t TMainThreadDispatcher::RunPending() {
    {
        // A wake that arrives from here on finds the queue as it is now.
        std::lock_guard lock(mutex_);
        wakePending_ = false;
    }
    std::size_t ran = 0;
    Call call;
    while (PopOne(call)) {
        Call c = std::move(call);
        c();
        ++ran;
    }
    return ran;
}

void TMainThreadDispatcher::RunUntil(const std::function<bool()>& done) {
    for (;;) {
        RunPending();
        unsigned long seen;
        {
            std::lock_guard lock(mutex_);
            seen = notifyCount_;
        }
        // A Notify after this point changes the count, so the wait below
        // cannot miss the end it waits for.
        if (done())
            return;
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return !queue_.empty() || notifyCount_ != seen; });
    }
}

void TMainThreadDispatcher::Notify() {
    {
        std::lock_guard lock(mutex_);
        ++notifyCount_;
    }
    cv_.notify_all();
    WakeMainThread();
}

void TMainThreadDispatcher::WaitUntil(const std::function<bool()>& done) {
    if (waiter_)
        waiter_(done);
    else
        RunUntil(done);
}

std::size_t TMainThreadDispatcher::QueuedCount() {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::size_t TMainThreadDispatcher::WaitAndRun(int timeoutMs) {
    {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !queue_.empty(); });
    }
    return RunPending();
}

namespace {
TPlainDispatcher plainDispatcher;
std::atomic<TMainThreadDispatcher*> defaultDispatcher{nullptr};
} // namespace

TMainThreadDispatcher& DefaultDispatcher() {
    TMainThreadDispatcher* d = defaultDispatcher.load(std::memory_order_acquire);
    return d ? *d : plainDispatcher;
}

void SetDefaultDispatcher(TMainThreadDispatcher* dispatcher) {
    defaultDispatcher.store(dispatcher, std::memory_order_release);
}

} // namespace serial
