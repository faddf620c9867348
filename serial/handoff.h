#pragma once
// The smThreadSync hand-over of one port: the monitor thread hands a batch
// over and, before it touches the device again, waits until the main thread
// has run its handlers.

#include <condition_variable>
#include <exception>
#include <mutex>

#include "serial/settings.h"

namespace serial {

class TSyncHandOff {
public:
    // Monitor thread: a batch is handed over (the one before has been awaited).
    void Begin(TComEvents events) {
        std::lock_guard lock(mutex_);
        done_ = false;
        pending_ = true;
        error_ = nullptr;
        events_ = events;
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
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    bool pending_ = false;
    TComEvents events_;
    std::exception_ptr error_;
};

} // namespace serial
