#pragma once
// The smThreadSync hand-over of one port: the monitor thread hands a batch
// over and, before it touches the device again, waits until the main thread
// has run its handlers. The main thread may open a batch itself; the monitor
// then waits for it the same way.

#include <condition_variable>
#include <exception>
#include <mutex>

#include "serial/settings.h"

namespace serial {

class TSyncHandOff {
public:
    // Monitor thread: a batch is handed over once the one open before it
    // (the main thread's own, say) has run; raises what that one raised.
    void Begin(TComEvents events) {
        std::exception_ptr error;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return !pending_ || done_; });
            if (pending_ && error_) {
                pending_ = false;
                error = error_;
            } else {
                OpenLocked(events);
            }
        }
        if (error)
            std::rethrow_exception(error);
    }
    // Main thread: opens a batch of its own for input it saw arrive itself.
    // False while another is open or the monitor has yet to see a raise.
    bool BeginOnMain() {
        std::lock_guard lock(mutex_);
        if (pending_ && (!done_ || error_))
            return false;
        OpenLocked({});
        return true;
    }
    // Monitor thread: waits until the batch handed over last has run and
    // raises what its handlers raised. At once when none is open.
    void Await() {
        std::exception_ptr error;
        {
            std::unique_lock lock(mutex_);
            if (!pending_)
                return;
            cv_.wait(lock, [this] { return done_; });
            pending_ = false;
            error = error_;
        }
        if (error)
            std::rethrow_exception(error);
    }
    // Main thread: the batch to run.
    TComEvents Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Main thread: the batch has run; error is what its handlers raised.
    void Finish(std::exception_ptr error) {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
            error_ = error;
        }
        cv_.notify_one();
    }

private:
    void OpenLocked(TComEvents events) {
        done_ = false;
        pending_ = true;
        error_ = nullptr;
        events_ = events;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    bool pending_ = false;
    TComEvents events_;
    std::exception_ptr error_;
};

} // namespace serial
