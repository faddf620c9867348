#include "serial/comport.h"

#include <cerrno>
#include <system_error>

#include "serial/comport_parts.h"

namespace serial {

namespace {
// True when value is new to field, which then holds it.
template <class T>
bool Changes(T& field, T value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

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

TCustomComPort::TCustomComPort() : parts_(std::make_unique<TParts>(*this)) {}

TCustomComPort::~TCustomComPort() { CloseForDestruction(); }

void TCustomComPort::CloseForDestruction() noexcept {
    try {
        ClosePort();
    } catch (...) {
        // A destructor cannot report; the device is released below anyway.
    }
    parts_->monitor.reset();
    if (parts_->device.IsOpen())
        TCustomComPort::CloseDevice();
    parts_->open = false;
}

TComPort::~TComPort() {
    // Closed here, while handlers still receive a whole TComPort.
    CloseForDestruction();
}

TComPort& TCustomComPort::Self() { return static_cast<TComPort&>(*this); }

bool TCustomComPort::Connected() const {
    return loading_ ? connectedWhileLoading_ : parts_->open.load() && !parts_->closePending.load();
}

bool TCustomComPort::ApplyAllowed() const { return parts_->open && !loading_; }
int TCustomComPort::Handle() const { return parts_->device.Fd(); }
bool TCustomComPort::ThreadStarted() const { return parts_->monitor != nullptr; }
bool TCustomComPort::MonitorRunning() const { return parts_->monitor && parts_->monitor->Running(); }

TMainThreadDispatcher& TCustomComPort::Dispatcher() const {
    return dispatcher_ ? *dispatcher_ : DefaultDispatcher();
}

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
    if (Changes(baudRate_, value))
        ApplyLineSettings();
}
void TCustomComPort::SetCustomBaudRate(std::int32_t value) {
    if (Changes(customBaudRate_, value))
        ApplyLineSettings();
}
void TCustomComPort::SetStopBits(TStopBits value) {
    if (Changes(stopBits_, value))
        ApplyLineSettings();
}
void TCustomComPort::SetDataBits(TDataBits value) {
    if (Changes(dataBits_, value))
        ApplyLineSettings();
}
void TCustomComPort::SetDiscardNull(bool value) {
    if (Changes(discardNull_, value))
        ApplyLineSettings();
}
void TCustomComPort::SetEventChar(std::uint8_t value) {
    if (Changes(eventChar_, value))
        ApplyLineSettings();
}

void TCustomComPort::SetPort(const std::string& value) {
    if (Changes(port_, value) && Connected() && !loading_) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    if (syncMethod_ == value)
        return;
    if (parts_->open && !loading_)
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
    if (parts_->closePending)
        // The device stays ours until the running handler returns.
        throw EComPort(CError_OpenFailed, EBUSY);
    if (parts_->open)
        return;
    HandleBeforeOpen();
    OpenDevice();
    parts_->open = true;
    ++parts_->generation;
    try {
        ConfigurePort();
        if (!events_.Empty())
            StartMonitor();
    } catch (...) {
        CloseDevice();
        parts_->open = false;
        throw;
    }
    HandleAfterOpen();
}

void TCustomComPort::ClosePort() {
    if (!parts_->open || parts_->closing || parts_->closePending)
        return;
    HandleBeforeClose();
    if (InOwnHandler()) {
        // The monitor waits for this very handler: release the device once
        // the handler has returned (AfterHandlers), never block here.
        parts_->closePending = true;
        return;
    }
    FinishClose();
}

void TCustomComPort::FinishClose() {
    parts_->closing = true;
    try {
        AbortTransfers();
        StopMonitor();
        CloseDevice();
    } catch (...) {
        parts_->closing = false;
        throw;
    }
    parts_->open = false;
    parts_->closePending = false;
    parts_->closing = false;
    HandleAfterClose();
}

void TCustomComPort::StartMonitor() {
    const TMonitorSetup setup{.fd = parts_->device.Fd(), .events = events_, .lineOps = parts_->device.LineOps(),
                              .lineSpeed = LineSpeed(), .rx = &parts_->rx, .client = parts_.get(),
                              .txKick = &parts_->txKickFd};
    try {
        parts_->monitor = std::make_unique<TComThread>(setup);
    } catch (const std::system_error& e) {
        throw EComPort(CError_OpenFailed, e.code().value());
    }
}

void TCustomComPort::StopMonitor() {
    if (!parts_->monitor)
        return;
    // Ended and joined before the record goes, so a handler still running on
    // the monitor thread (smNone) never sees the record half gone.
    parts_->monitor->Stop();
    parts_->monitor.reset();
}

void TCustomComPort::Kick() {
    // Also called by handlers on the monitor thread (smNone), so it goes by
    // the descriptor alone, never by the monitor's record.
    SignalEventFd(parts_->txKickFd.load(std::memory_order_acquire));
}

void TCustomComPort::ConfigurePort() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

// --- open/close steps and handling steps -----------------------------------

void TCustomComPort::HandleBeforeOpen() { EmitBeforeOpen(); }
void TCustomComPort::HandleAfterClose() { EmitAfterClose(); }

void TCustomComPort::HandleAfterOpen() {
    EmitAfterOpen();
    ReportLineStates(true);
}

void TCustomComPort::HandleBeforeClose() {
    ReportLineStates(false);
    EmitBeforeClose();
}

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

void TCustomComPort::ReportCurrentError() {
    const std::string message = CurrentMessage();
    try {
        if (OnDeferredError)
            OnDeferredError(Self(), message);
    } catch (...) {
    }
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
