// The delivery of monitor events to the handlers, by the three methods.

#include "serial/comport.h"

#include <exception>

namespace serial {

// --- delivery ---------------------------------------------------------------

bool TCustomComPort::InOwnHandler() const {
    return handlerDepth_.load() > 0 && handlerThread_.load() == std::this_thread::get_id();
}

void TCustomComPort::RunHandlers(const std::function<void()>& body) {
    const std::thread::id outer = handlerThread_.load();
    handlerThread_.store(std::this_thread::get_id());
    ++handlerDepth_;
    struct Restore {
        TCustomComPort& p;
        std::thread::id outer;
        ~Restore() {
            if (--p.handlerDepth_ == 0)
                p.handlerThread_.store(outer);
        }
    } restore{*this, outer};
    body();
}

void TCustomComPort::DeliverEvents(TComEvents events) {
    switch (syncMethod_) {
    case smThreadSync: {
        // The monitor goes back to its wait and takes up the device again
        // only after these handlers ran (AwaitDelivery): waiting for them
        // here would cost it a wake-up of its own for every delivery.
        syncHandOff_.Begin(events);
        Dispatcher().Post([this] { RunThreadSyncDelivery(false); });
        break;
    }
    case smWindowSync: {
        std::weak_ptr<TCustomComPort*> alive = alive_;
        const std::uint64_t generation = generation_;
        Dispatcher().Post([alive, events, generation] {
            if (auto p = alive.lock())
                (*p)->RunWindowSyncDelivery(events, generation);
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
        if (closePending_ && handlerDepth_.load() == 0) {
            // Asked for on this thread, which cannot wait for itself; also
            // when the handler raised after asking.
            std::weak_ptr<TCustomComPort*> alive = alive_;
            Dispatcher().Post([alive] {
                if (auto p = alive.lock())
                    (*p)->AfterHandlers();
            });
        }
        if (error)
            std::rethrow_exception(error);
        break;
    }
    }
}

void TCustomComPort::MainThreadInput() {
    // Not while a delivery of this port is open or running (its end turns
    // the watch on again), nor once the monitor has ended or a close began.
    if (!open_ || closing_ || closePending_ || handlerDepth_.load() > 0 || !monitor_ ||
        !monitor_->Running() || !syncHandOff_.BeginOnMain()) {
        SetInputWatch(false);
        return;
    }
    RunThreadSyncDelivery(true);
}

void TCustomComPort::SetInputWatch(bool on) {
    if (!inputWatch_)
        return;
    inputWatch_->SetEnabled(on);
    if (on == rx_.MainWatches())
        return;
    rx_.SetMainWatches(on);
    if (monitor_)
        monitor_->WatchDeviceInput(!on);
}

void TCustomComPort::PauseInputWatch() {
    // Arrivals meanwhile are the delivery's catch-up rounds' to take.
    if (inputWatch_)
        inputWatch_->SetEnabled(false);
}

void TCustomComPort::EndInputWatch() {
    SetInputWatch(false);
    inputWatch_.reset();
}

void TCustomComPort::RunThreadSyncDelivery(bool onMain) {
    PauseInputWatch(); // a handler's nested loop must not see it
    std::exception_ptr error;
    // The main thread's own batch: what the monitor would have found.
    TComEvents events = onMain ? monitor_->CatchUp() : syncHandOff_.Events();
    const bool found = !events.Empty();
    // Bytes that arrived while the handlers ran are handed over in the same
    // turn of the main thread, while the monitor still waits: otherwise it
    // would wake only to queue them back here. A few rounds at most, so a
    // steady stream still lets the event loop go on.
    for (int round = 0; found; ++round) {
        try {
            RunHandlers([&] { FireEvents(events); });
        } catch (...) {
            error = std::current_exception();
            break;
        }
        if (round == kCatchUpRounds || closePending_ || !open_ || handlerDepth_.load() > 0 || !monitor_)
            break;
        events = monitor_->CatchUp();
        if (events.Empty())
            break;
    }
    if (closePending_ && handlerDepth_.load() == 0 && monitor_)
        monitor_->RequestStop(); // before the monitor sees the handler's end
    syncHandOff_.Finish(error);
    // The monitor ends on a raise: woken for it now, not at the next byte.
    if (error)
        rx_.WakeMonitor();
    // Input the main thread could not take (a full queue under flow control,
    // a hang-up) is the monitor's to report, until its next delivery.
    SetInputWatch(!error && (found || !onMain) && !closePending_);
    AfterHandlers();
}

void TCustomComPort::RunWindowSyncDelivery(TComEvents events, std::uint64_t generation) {
    if (!open_ || closePending_ || generation != generation_)
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
    if (!closePending_ || handlerDepth_.load() > 0 || closing_)
        return;
    try {
        FinishClose();
    } catch (...) {
        // OnAfterClose may raise too; the device is released by then.
        ReportCurrentError();
    }
}

void TCustomComPort::ReportMonitorEnded(const std::string& message) {
    std::weak_ptr<TCustomComPort*> alive = alive_;
    Dispatcher().Post([alive, message] {
        auto p = alive.lock();
        if (!p)
            return;
        TCustomComPort& port = **p;
        if (port.OnMonitorEnded)
            port.OnMonitorEnded(port.Self(), message);
    });
}

} // namespace serial
