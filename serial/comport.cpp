#include "serial/comport.h"

#include <cerrno>
#include <system_error>

#include <unistd.h>

#include "serial/monitor.h"

namespace serial {

namespace {
// The message of the exception being handled; handlers may raise anything.
std::string CurrentMessage() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}
} // namespace

TCustomComPort::TCustomComPort() : alive_(std::make_shared<TCustomComPort*>(this)) {}

TCustomComPort::~TCustomComPort() {
    CloseForDestruction();
    for (int fd : {abortFd_, readyFd_, resumeFd_.load()})
        if (fd >= 0)
            ::close(fd);
    alive_.reset();
}

void TCustomComPort::CloseForDestruction() noexcept {
    try {
        ClosePort();
    } catch (...) {
        // A destructor cannot report; the device is released below anyway.
    }
    monitor_.reset();
    if (handle_ >= 0)
        TCustomComPort::CloseDevice();
    open_ = false;
}

TComPort::~TComPort() {
    // Closed here, while handlers still receive a whole TComPort.
    CloseForDestruction();
}

TComPort& TCustomComPort::Self() { return static_cast<TComPort&>(*this); }

// --- setters --------------------------------------------------------------

void TCustomComPort::SetConnected(bool value) {
    if (loading_) {
        connectedWhileLoading_ = value;
        return;
    }
    if (value)
        OpenPort();
    else
        ClosePort();
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
    if (baudRate_ == value)
        return;
    baudRate_ = value;
    ApplyLineSettings();
}

void TCustomComPort::SetCustomBaudRate(std::int32_t value) {
    if (customBaudRate_ == value)
        return;
    customBaudRate_ = value;
    ApplyLineSettings();
}

void TCustomComPort::SetPort(const std::string& value) {
    if (port_ == value)
        return;
    port_ = value;
    if (Connected() && !loading_) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetStopBits(TStopBits value) {
    if (stopBits_ == value)
        return;
    stopBits_ = value;
    ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits value) {
    if (dataBits_ == value)
        return;
    dataBits_ = value;
    ApplyLineSettings();
}

void TCustomComPort::SetDiscardNull(bool value) {
    if (discardNull_ == value)
        return;
    discardNull_ = value;
    ApplyLineSettings();
}

void TCustomComPort::SetEventChar(std::uint8_t value) {
    if (eventChar_ == value)
        return;
    eventChar_ = value;
    ApplyLineSettings();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    if (syncMethod_ == value)
        return;
    if (open_ && !loading_)
        throw EComPort(CError_ConnChangeProp);
    syncMethod_ = value;
}

void TCustomComPort::Loaded() {
    loading_ = false;
    if (!connectedWhileLoading_)
        return;
    connectedWhileLoading_ = false;
    try {
        OpenPort();
    } catch (...) {
        if (OnDeferredError)
            OnDeferredError(Self(), CurrentMessage());
    }
}

// --- open and close ---------------------------------------------------------

void TCustomComPort::OpenPort() {
    if (closePending_)
        // The device stays ours until the running handler returns.
        throw EComPort(CError_OpenFailed, EBUSY);
    if (open_)
        return;
    HandleBeforeOpen();
    OpenDevice();
    open_ = true;
    ++generation_;
    try {
        ConfigurePort();
    } catch (...) {
        CloseDevice();
        open_ = false;
        throw;
    }
    if (!events_.Empty()) {
        try {
            monitor_ = std::make_unique<TComThread>(*this);
        } catch (const std::system_error& e) {
            CloseDevice();
            open_ = false;
            throw EComPort(CError_OpenFailed, e.code().value());
        }
    }
    HandleAfterOpen();
}

void TCustomComPort::ClosePort() {
    if (!open_ || closing_ || closePending_)
        return;
    HandleBeforeClose();
    if (InOwnHandler()) {
        // The monitor waits for this very handler: release the device once
        // the handler has returned (AfterHandlers), never block here.
        closePending_ = true;
        return;
    }
    FinishClose();
}

void TCustomComPort::FinishClose() {
    closing_ = true;
    try {
        AbortTransfers();
        StopMonitor();
        CloseDevice();
    } catch (...) {
        closing_ = false;
        throw;
    }
    open_ = false;
    closePending_ = false;
    closing_ = false;
    HandleAfterClose();
}

void TCustomComPort::StopMonitor() {
    if (!monitor_)
        return;
    // Ended and joined before the record goes, so a handler still running on
    // the monitor thread (smNone) never sees the record half gone.
    monitor_->Stop();
    txKickFd_.store(-1, std::memory_order_release);
    monitor_.reset();
}

bool TCustomComPort::MonitorRunning() const { return monitor_ && monitor_->Running(); }

void TCustomComPort::Kick() {
    // Also called by handlers on the monitor thread (smNone), so it goes by
    // the descriptor alone, never by the monitor's record.
    const int fd = txKickFd_.load(std::memory_order_acquire);
    if (fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(fd, &one, sizeof one);
    }
}

void TCustomComPort::ConfigurePort() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

// --- open/close steps and handling steps -----------------------------------

void TCustomComPort::HandleBeforeOpen() { EmitBeforeOpen(); }

void TCustomComPort::HandleAfterOpen() {
    EmitAfterOpen();
    ReportLineStates(true);
}

void TCustomComPort::HandleBeforeClose() {
    ReportLineStates(false);
    EmitBeforeClose();
}

void TCustomComPort::HandleAfterClose() { EmitAfterClose(); }

void TCustomComPort::ReportLineStates(bool open) {
    if (open) {
        HandleCTSChange();
        HandleDSRChange();
        HandleRLSDChange();
    } else {
        EmitCTSChange(false);
        EmitDSRChange(false);
        EmitRLSDChange(false);
    }
}

void TCustomComPort::HandleRxChar() {
    const int count = PendingInput();
    if (count > 0)
        EmitRxChar(count);
}

void TCustomComPort::HandleError() {
    const TComErrors errors = TakeLineErrors();
    if (!errors.Empty())
        EmitError(errors);
}

void TCustomComPort::HandleCTSChange() { EmitCTSChange(ModemSignals().Has(lsCTS)); }
void TCustomComPort::HandleDSRChange() { EmitDSRChange(ModemSignals().Has(lsDSR)); }
void TCustomComPort::HandleRLSDChange() { EmitRLSDChange(ModemSignals().Has(lsRLSD)); }
void TCustomComPort::HandleTxEmpty() { EmitTxEmpty(); }
void TCustomComPort::HandleRxFlag() { EmitRxFlag(); }
void TCustomComPort::HandleRing() { EmitRing(); }
void TCustomComPort::HandleBreak() { EmitBreak(); }
void TCustomComPort::HandleRx80Full() { EmitRx80Full(); }

void TCustomComPort::FireEvents(TComEvents events) {
    if (events.Has(evError)) HandleError();
    if (events.Has(evRxChar)) HandleRxChar();
    if (events.Has(evTxEmpty)) HandleTxEmpty();
    if (events.Has(evBreak)) HandleBreak();
    if (events.Has(evRing)) HandleRing();
    if (events.Has(evCTS)) HandleCTSChange();
    if (events.Has(evDSR)) HandleDSRChange();
    if (events.Has(evRxFlag)) HandleRxFlag();
    if (events.Has(evRLSD)) HandleRLSDChange();
    if (events.Has(evRx80Full)) HandleRx80Full();
}

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
        AwaitDelivery();
        {
            std::lock_guard lock(syncMutex_);
            syncDone_ = false;
            syncPending_ = true;
            syncError_ = nullptr;
            syncEvents_ = events;
        }
        Dispatcher().Post([this] { RunThreadSyncDelivery(); });
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

void TCustomComPort::AwaitDelivery() {
    std::exception_ptr error;
    {
        std::unique_lock lock(syncMutex_);
        if (!syncPending_)
            return;
        syncCv_.wait(lock, [this] { return syncDone_; });
        syncPending_ = false;
        error = syncError_;
    }
    if (error)
        std::rethrow_exception(error);
}

void TCustomComPort::RunThreadSyncDelivery() {
    std::exception_ptr error;
    TComEvents events;
    {
        std::lock_guard lock(syncMutex_);
        events = syncEvents_;
    }
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
        if (round == kCatchUpRounds || closePending_ || !open_ || handlerDepth_.load() > 0 || !monitor_)
            break;
        events = monitor_->CatchUp();
        if (events.Empty())
            break;
    }
    if (closePending_ && handlerDepth_.load() == 0 && monitor_)
        monitor_->RequestStop(); // before the monitor sees the handler's end
    {
        std::lock_guard lock(syncMutex_);
        syncDone_ = true;
        syncError_ = error;
    }
    syncCv_.notify_one();
    // The monitor ends on a raise: woken for it now, not at the next byte.
    if (error)
        WakeMonitorForInput();
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

void TCustomComPort::ReportCurrentError() {
    const std::string message = CurrentMessage();
    try {
        if (OnDeferredError)
            OnDeferredError(Self(), message);
    } catch (...) {
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

// --- notifications ------------------------------------------------------------

void TCustomComPort::EmitAfterClose() { if (OnAfterClose) OnAfterClose(Self()); }
void TCustomComPort::EmitAfterOpen() { if (OnAfterOpen) OnAfterOpen(Self()); }
void TCustomComPort::EmitBeforeClose() { if (OnBeforeClose) OnBeforeClose(Self()); }
void TCustomComPort::EmitBeforeOpen() { if (OnBeforeOpen) OnBeforeOpen(Self()); }
void TCustomComPort::EmitRxChar(int count) { if (OnRxChar) OnRxChar(Self(), count); }
void TCustomComPort::EmitRxBuf(const void* buffer, int count) {
    if (OnRxBuf) OnRxBuf(Self(), buffer, count);
}
void TCustomComPort::EmitTxEmpty() { if (OnTxEmpty) OnTxEmpty(Self()); }
void TCustomComPort::EmitBreak() { if (OnBreak) OnBreak(Self()); }
void TCustomComPort::EmitRing() { if (OnRing) OnRing(Self()); }
void TCustomComPort::EmitRxFlag() { if (OnRxFlag) OnRxFlag(Self()); }
void TCustomComPort::EmitCTSChange(bool onOff) { if (OnCTSChange) OnCTSChange(Self(), onOff); }
void TCustomComPort::EmitDSRChange(bool onOff) { if (OnDSRChange) OnDSRChange(Self(), onOff); }
void TCustomComPort::EmitError(TComErrors errors) { if (OnError) OnError(Self(), errors); }
void TCustomComPort::EmitRLSDChange(bool onOff) { if (OnRLSDChange) OnRLSDChange(Self(), onOff); }
void TCustomComPort::EmitRx80Full() { if (OnRx80Full) OnRx80Full(Self()); }

} // namespace serial
