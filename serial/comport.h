#pragma once
// TComPort: one serial line. Settings (with the clock line's defaults), open
// and close with their events, blocking reads and writes under the five
// timeouts, and an event monitor thread whose events reach the handlers on
// the main thread through a TMainThreadDispatcher.
// The port is a front: its parts (serial/comport_parts.h: the open device,
// the receive path, the monitor) each own their state and lock. Failures
// raise EComPort (serial/errors.h).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/settings.h"

namespace serial {

class TComPort;
class TMainThreadDispatcher;
struct TComTransfer;
struct TKernelTermios;

using TNotifyEvent = std::function<void(TComPort& sender)>;
using TRxCharEvent = std::function<void(TComPort& sender, int count)>;
using TRxBufEvent = std::function<void(TComPort& sender, const void* buffer, int count)>;
using TComSignalEvent = std::function<void(TComPort& sender, bool onOff)>;
using TComErrorEvent = std::function<void(TComPort& sender, TComErrors errors)>;
using TComMessageEvent = std::function<void(TComPort& sender, const std::string& message)>;

class TCustomComPort {
public:
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;
    // Closes an open port first, with its events.
    virtual ~TCustomComPort();

    // --- settings -------------------------------------------------------
    // True while the port is open and no close has been asked for. A close
    // asked for inside a running handler of this port makes it false at
    // once; the device itself is released right after that handler returns.
    // While loading it reports the stored flag.
    bool Connected() const;
    void SetConnected(bool value);

    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate value);
    std::int32_t CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(std::int32_t value);
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value);
    TComParity& Parity() { return parity_; }
    const TComParity& Parity() const { return parity_; }
    void SetParity(const TComParity& value) { parity_.Assign(&value); }
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits value);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool value);
    std::uint8_t EventChar() const { return eventChar_; }
    void SetEventChar(std::uint8_t value);
    TComEvents Events() const { return events_; }
    void SetEvents(TComEvents value) { events_ = value; }
    TComBuffer& Buffer() { return buffer_; }
    const TComBuffer& Buffer() const { return buffer_; }
    void SetBuffer(const TComBuffer& value) { buffer_.Assign(&value); }
    TComFlowControl& FlowControl() { return flowControl_; }
    const TComFlowControl& FlowControl() const { return flowControl_; }
    void SetFlowControl(const TComFlowControl& value) { flowControl_.Assign(&value); }
    TComTimeouts& Timeouts() { return timeouts_; }
    const TComTimeouts& Timeouts() const { return timeouts_; }
    void SetTimeouts(const TComTimeouts& value) { timeouts_.Assign(&value); }
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod value);

    // --- handlers ---------------------------------------------------------
    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf; // never raised: received bytes stay queued for OnRxChar
    TNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TComErrorEvent OnError;
    // The monitor stopped by itself (a handler raised, the wait failed, the
    // device hung up): reported once, on the main thread, with the message.
    // The port stays open until it is closed.
    TComMessageEvent OnMonitorEnded;
    // An error that has no caller to reach: a handler's exception under
    // smWindowSync, the open after loading, the release of a close that was
    // put off until a handler returned. The window shows it in its error box.
    TComMessageEvent OnDeferredError;

    // --- loading from a stored description ----------------------------------
    // Between the two, setting Connected only stores it and no apply step
    // reaches the device; Loaded opens the port if Connected was set.
    void BeginLoading() { loading_ = true; }
    void Loaded();
    bool Loading() const { return loading_; }

    // --- open and close ---------------------------------------------------
    void OpenPort();
    void ClosePort();

    // --- transfers (main thread, one at a time) -----------------------------
    int WriteText(const std::string& text);
    int ReadText(std::string& text, int count);
    int ReadBytes(void* buffer, int count);

    TComTransfer* NewTransfer();
    int StartWrite(const void* buffer, int count, TComTransfer* transfer);
    int StartWriteText(const std::string& text, TComTransfer* transfer);
    int StartRead(void* buffer, int count, TComTransfer* transfer);
    int StartReadText(std::string& text, int count, TComTransfer* transfer);
    int AwaitTransfer(TComTransfer* transfer);
    void FreeTransfer(TComTransfer*& transfer);
    // Ends transfers in progress at once with what they have moved; the
    // driver's queues keep their bytes.
    void AbortTransfers();

    int PendingInput();
    TLineSignals ModemSignals();
    TComErrors TakeLineErrors();

    // --- apply steps (the setters call them) ------------------------------
    virtual void ApplyLineSettings();
    virtual void ApplyTimeoutSettings();
    virtual void ApplyBufferSizes();

    // The line settings as the kernel's termios2 (raw, VMIN 1): a speed with
    // a Bnnn code by that code, any other through BOTHER; the input speed
    // always follows the output speed.
    void FillTermios(TKernelTermios& t) const;
    // Bits per second of BaudRate, or CustomBaudRate for brCustom.
    int LineSpeed() const;

    // --- plumbing -----------------------------------------------------------
    // The dispatcher of this port's main-thread hand-offs; by default the
    // process-wide one. Change it only while the port is closed.
    void SetDispatcher(TMainThreadDispatcher* dispatcher) { dispatcher_ = dispatcher; }
    TMainThreadDispatcher& Dispatcher() const;
    // The device's file descriptor, -1 while closed.
    int Handle() const;
    // True while this open has a monitor thread (also after it ended by itself).
    bool ThreadStarted() const;
    // True while the monitor thread still waits for events.
    bool MonitorRunning() const;
    // The monitor's priority: always the normal one.
    static constexpr int MonitorPriority = 0;
    // The receive queue holds InputSize bytes, and never fewer than these.
    static constexpr int kMinInputQueue = 16;
    static constexpr int kCatchUpRounds = 8; // extra smThreadSync rounds per delivery

protected:
    TCustomComPort();
    // The destructor's close: ClosePort with its events, errors swallowed.
    void CloseForDestruction() noexcept;

    virtual void OpenDevice();
    virtual void CloseDevice();
    virtual void ConfigurePort();

    virtual void EmitAfterClose();
    virtual void EmitAfterOpen();
    virtual void EmitBeforeClose();
    virtual void EmitBeforeOpen();
    virtual void EmitRxChar(int count);
    virtual void EmitRxBuf(const void* buffer, int count);
    virtual void EmitTxEmpty();
    virtual void EmitBreak();
    virtual void EmitRing();
    virtual void EmitRxFlag();
    virtual void EmitCTSChange(bool onOff);
    virtual void EmitDSRChange(bool onOff);
    virtual void EmitError(TComErrors errors);
    virtual void EmitRLSDChange(bool onOff);
    virtual void EmitRx80Full();

private:
    struct TParts;
    TComPort& Self();

    bool ApplyAllowed() const;
    void HandleBeforeOpen();
    void HandleAfterOpen();
    void HandleBeforeClose();
    void HandleAfterClose();
    void ReportLineStates(bool open);
    void HandleRxChar();
    void HandleTxEmpty();
    void HandleRxFlag();
    void HandleRing();
    void HandleBreak();
    void HandleCTSChange();
    void HandleDSRChange();
    void HandleError();
    void HandleRLSDChange();
    void HandleRx80Full();

    // Delivery (serial/delivery.cpp).
    void DeliverEvents(TComEvents events);      // on the monitor thread
    void ReportMonitorEnded(const std::string& message);

    void FireEvents(TComEvents events);
    void RunThreadSyncDelivery(TComEvents events); // on the main thread
    void RunWindowSyncDelivery(TComEvents events, std::uint64_t generation);
    void RunHandlers(const std::function<void()>& body);
    bool InOwnHandler() const;
    void AfterHandlers();
    // The exception being handled, to OnDeferredError; one it raises is dropped.
    void ReportCurrentError();
    void FinishClose();
    void StartMonitor();
    void StopMonitor();
    void Kick();                                // output queued: watch for TxEmpty

    // settings
    TBaudRate baudRate_ = br9600;
    std::int32_t customBaudRate_ = 9600;
    std::string port_ = "COM1";
    TComParity parity_{[this] { ApplyLineSettings(); }};
    TStopBits stopBits_ = sbOneStopBit;
    TDataBits dataBits_ = dbEight;
    bool discardNull_ = false;
    std::uint8_t eventChar_ = 0;
    TComEvents events_ = kAllComEvents;
    TComBuffer buffer_{[this] { ApplyBufferSizes(); }};
    TComFlowControl flowControl_{[this] { ApplyLineSettings(); }};
    TComTimeouts timeouts_{[this] { ApplyTimeoutSettings(); }};
    TSyncMethod syncMethod_ = smThreadSync;

    bool loading_ = false;
    bool connectedWhileLoading_ = false;
    TMainThreadDispatcher* dispatcher_ = nullptr;
    // The open/close state and the parts, which the monitor thread shares.
    const std::unique_ptr<TParts> parts_;
};

// The published component; it adds nothing to TCustomComPort.
class TComPort : public TCustomComPort {
public:
    TComPort() = default;
    ~TComPort() override;
};

} // namespace serial
