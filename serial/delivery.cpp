// The delivery of monitor events to the handlers, by the three methods.

#include "serial/comport_parts.h"

#include <exception>

namespace serial {

bool TCustomComPort::InOwnHandler() const {
    return parts_->handlerDepth.load() > 0 && parts_->handlerThread.load() == std::this_thread::get_id();
}

void TCustomComPort::RunHandlers(const std::function<void()>& body) {
    TParts& p = *parts_;
    const std::thread::id outer = p.handlerThread.load();
    p.handlerThread.store(std::this_thread::get_id());
    ++p.handlerDepth;
    struct Restore {
        TParts& p;
        std::thread::id outer;
        ~Restore() {
            if (--p.handlerDepth == 0)
                p.handlerThread.store(outer);
        }
    } restore{p, outer};
    body();
}

void TCustomComPort::DeliverEvents(TComEvents events) {
    switch (syncMethod_) {
    case smThreadSync:
        // The monitor goes back to its wait and takes up the device again
        // only after these handlers ran (AwaitDelivery): waiting for them
        // here would cost it a wake-up of its own for every delivery.
        parts_->BeginDelivery();
        Dispatcher().Post([this, events] { RunThreadSyncDelivery(events); });
        break;
    case smWindowSync: {
        const std::uint64_t generation = parts_->generation;
        parts_->PostWhileAlive([events, generation](TCustomComPort& port) {
            port.RunWindowSyncDelivery(events, generation);
        });
        break;
    }
    case smNone: {
        std::exception_ptr error;
        try {
            RunHandlers([&] { FireEvents(events); });
        } catch (...) {
            error = std::current_exception();
        }
        if (parts_->closePending && parts_->handlerDepth.load() == 0) {
            // Asked for on this thread, which cannot wait for itself; also
            // when the handler raised after asking.
            parts_->PostWhileAlive([](TCustomComPort& port) { port.AfterHandlers(); });
        }
        if (error)
            std::rethrow_exception(error);
        break;
    }
    }
}

void TCustomComPort::RunThreadSyncDelivery(TComEvents events) {
    TParts& p = *parts_;
    std::exception_ptr error;
    // Bytes that arrived while the handlers ran are handed over in the same
    // turn of the main thread, while the monitor still waits: otherwise it
    // would wake only to queue them back here. A few rounds at most, so a
    // steady stream still lets the event loop go on.
    for (int round = 0;; ++round) {
        try {
            RunHandlers([&] { FireEvents(events); });
        } catch (...) {
            error = std::current_exception();
            break;
        }
        if (round == kCatchUpRounds || p.closePending || !p.open || p.handlerDepth.load() > 0 || !p.monitor)
            break;
        events = p.monitor->CatchUp();
        if (events.Empty())
            break;
    }
    if (p.closePending && p.handlerDepth.load() == 0 && p.monitor)
        p.monitor->RequestStop(); // before the monitor sees the handler's end
    p.FinishDelivery(error);
    // The monitor ends on a raise: woken for it now, not at the next byte.
    if (error)
        p.rx.WakeMonitor();
    AfterHandlers();
}

void TCustomComPort::RunWindowSyncDelivery(TComEvents events, std::uint64_t generation) {
    if (!parts_->open || parts_->closePending || generation != parts_->generation)
        return; // a closed port ignores what its monitor sent before
    try {
        RunHandlers([&] { FireEvents(events); });
    } catch (...) {
        // Shown, and the monitor goes on; a close the handler asked for
        // is still carried out below.
        ReportCurrentError();
    }
    AfterHandlers();
}

void TCustomComPort::AfterHandlers() {
    if (!parts_->closePending || parts_->handlerDepth.load() > 0 || parts_->closing)
        return;
    try {
        FinishClose();
    } catch (...) {
        // OnAfterClose may raise too; the device is released by then.
        ReportCurrentError();
    }
}

void TCustomComPort::ReportMonitorEnded(const std::string& message) {
    parts_->PostWhileAlive([message](TCustomComPort& port) {
        if (port.OnMonitorEnded)
            port.OnMonitorEnded(port.Self(), message);
    });
}

} // namespace serial
