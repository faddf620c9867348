#pragma once
// What a TCustomComPort (serial/comport.h) keeps behind its front: the open
// device, the receive path, the monitor and the smThreadSync hand-off, with
// the open/close state they share with the monitor thread. Only the port's
// own files include this.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "serial/comport.h"
#include "serial/device.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"
#include "serial/handoff.h"
#include "serial/monitor.h"
#include "serial/rxpath.h"

namespace serial {

// Also what the monitor sees of the port: an object of its own, so that the
// monitor never makes a virtual call on a port being destroyed.
struct TCustomComPort::TParts final : TMonitorClient {
    explicit TParts(TCustomComPort& owner) : port(owner), alive(std::make_shared<TCustomComPort*>(&owner)) {}

    void Deliver(TComEvents events) override { port.DeliverEvents(events); }
    void AwaitDelivery() override { syncHandOff.Await(); }
    bool ClosePending() const override { return closePending.load(); }
    void ReportEnded(const std::string& message) override { port.ReportMonitorEnded(message); }
    TMainThreadDispatcher& Dispatcher() const override { return port.Dispatcher(); }

    TCustomComPort& port;
    // Lets calls posted to the main thread find out that the port is gone.
    std::shared_ptr<TCustomComPort*> alive;
    TPortDevice device;
    TRxPath rx;
    TSyncHandOff syncHandOff;
    std::atomic<int> txKickFd{-1}; // the monitor's "output queued", see TMonitorSetup
    std::atomic<bool> open{false};
    std::atomic<bool> closing{false};
    std::atomic<bool> closePending{false};
    std::uint64_t generation = 0;
    // Handlers of this port running, and on which thread.
    std::atomic<int> handlerDepth{0};
    std::atomic<std::thread::id> handlerThread{};
    // Last, so that it goes first: its thread uses all of the above.
    std::unique_ptr<TComThread> monitor;
};

} // namespace serial
