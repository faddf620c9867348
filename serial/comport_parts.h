#pragma once
// What a TCustomComPort (serial/comport.h) keeps behind its front: the open
// device, the receive path, the monitor and the smThreadSync hand-over, with
// the open/close state they share with the monitor thread. Only the port's
// own files include this.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serial/comport.h"
#include "serial/device.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"
#include "serial/monitor.h"
#include "serial/rxpath.h"

namespace serial {

// Also what the monitor sees of the port: an object of its own, so that the
// monitor never makes a virtual call on a port being destroyed.
struct TCustomComPort::TParts final : TMonitorClient {
    explicit TParts(TCustomComPort& owner) : port(owner), alive(std::make_shared<TCustomComPort*>(&owner)) {}

    void Deliver(TComEvents events) override { port.DeliverEvents(events); }
    bool ClosePending() const override { return closePending.load(); }
    void ReportEnded(const std::string& message) override { port.ReportMonitorEnded(message); }
    TMainThreadDispatcher& Dispatcher() const override { return port.Dispatcher(); }

    // The smThreadSync hand-over: the monitor hands a batch over and, before
    // it touches the device again, waits until the main thread has run its
    // handlers (AwaitDelivery, at once when none is open), and raises what
    // they raised.
    void BeginDelivery() {
        std::lock_guard lock(handOffMutex);
        delivered = false;
        delivering = true;
        handlersError = nullptr;
    }
    void AwaitDelivery() override {
        std::unique_lock lock(handOffMutex);
        if (!delivering)
            return;
        handOffCv.wait(lock, [this] { return delivered; });
        delivering = false;
        if (const std::exception_ptr error = handlersError)
            std::rethrow_exception(error);
    }
    void FinishDelivery(std::exception_ptr error) {
        {
            std::lock_guard lock(handOffMutex);
            delivered = true;
            handlersError = error;
        }
        handOffCv.notify_one();
    }

    // Queues call for the main thread, where it runs unless the port is gone.
    void PostWhileAlive(std::function<void(TCustomComPort&)> call) {
        port.Dispatcher().Post([weak = std::weak_ptr(alive), call = std::move(call)] {
            if (auto p = weak.lock())
                call(**p);
        });
    }

    TCustomComPort& port;
    // Lets calls posted to the main thread find out that the port is gone.
    std::shared_ptr<TCustomComPort*> alive;
    TPortDevice device;
    TRxPath rx;
    std::atomic<int> txKickFd{-1}; // the monitor's "output queued", see TMonitorSetup
    std::atomic<bool> open{false};
    std::atomic<bool> closing{false};
    std::atomic<bool> closePending{false};
    std::uint64_t generation = 0;
    // Handlers of this port running, and on which thread.
    std::atomic<int> handlerDepth{0};
    std::atomic<std::thread::id> handlerThread{};
    std::mutex handOffMutex;
    std::condition_variable handOffCv;
    bool delivering = false;
    bool delivered = false;
    std::exception_ptr handlersError;
    // Last, so that it goes first: its thread uses all of the above.
    std::unique_ptr<TComThread> monitor;
};

} // namespace serial
