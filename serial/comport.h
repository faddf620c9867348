#pragma once
// TComPort: one serial line. Settings (with the clock line's defaults), open
// and close with their events, blocking reads and writes under the five
// timeouts, and an event monitor thread whose events reach the handlers on
// the main thread through a TMainThreadDispatcher.
// The port is a front: the open device (TPortDevice), the receive path
// (TRxPath) and the monitor (TComThread) each own their state and lock.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "serial/device.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"
#include "serial/handoff.h"
#include "serial/monitor.h"
#include "serial/rxpath.h"
#include "serial/settings.h"
#include "serial/termios2.h"

namespace serial {

class TComPort;

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
    bool Connected() const {
        return loading_ ? connectedWhileLoading_ : open_.load() && !closePending_.load();
    }
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
    TMainThreadDispatcher& Dispatcher() const { return dispatcher_ ? *dispatcher_ : DefaultDispatcher(); }
    // The device's file descriptor, -1 while closed.
    int Handle() const { return device_.Fd(); }
    // True while this open has a monitor thread (also after it ended by itself).
    bool ThreadStarted() const { return monitor_ != nullptr; }
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
    TComPort& Self();

    bool ApplyAllowed() const { return open_ && !loading_; }
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

    // What the monitor sees of the port. An object of its own, so that the
    // monitor never makes a virtual call on a port being destroyed.
    class TMonitorSide final : public TMonitorClient {
    public:
        explicit TMonitorSide(TCustomComPort& port) : port_(port) {}
        void Deliver(TComEvents events) override { port_.DeliverEvents(events); }
        void AwaitDelivery() override { port_.syncHandOff_.Await(); }
        bool ClosePending() const override { return port_.closePending_.load(); }
        void ReportEnded(const std::string& message) override { port_.ReportMonitorEnded(message); }
        TMainThreadDispatcher& Dispatcher() const override { return port_.Dispatcher(); }

    private:
        TCustomComPort& port_;
    };

    // Delivery (serial/delivery.cpp).
    void DeliverEvents(TComEvents events);      // on the monitor thread
    void ReportMonitorEnded(const std::string& message);

    void FireEvents(TComEvents events);
    void RunThreadSyncDelivery(bool onMain);    // on the main thread
    // The main thread's loop saw input on the device: delivered at once
    // when the port is idle, a wake-up of the monitor thread less.
    void MainThreadInput();
    // The watch on (input to the main thread) or off for the rest of a
    // delivery (paused), or input given back to the monitor.
    void SetInputWatch(bool on);
    void PauseInputWatch();
    void EndInputWatch();
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

    // The parts. Settings, the open/close state and the records below are
    // the main thread's; what the monitor thread shares with it is the
    // receive path, the hand-off and the atomics.
    TPortDevice device_;
    TRxPath rx_;
    std::unique_ptr<TComThread> monitor_;
    TMonitorSide monitorSide_{*this};
    // The device watched by the main thread's loop (smThreadSync), where it can.
    std::unique_ptr<TMainThreadDispatcher::TInputWatch> inputWatch_;
    TSyncHandOff syncHandOff_;
    std::atomic<int> txKickFd_{-1}; // the monitor's "output queued", see TMonitorSetup

    // state
    bool loading_ = false;
    bool connectedWhileLoading_ = false;
    std::atomic<bool> open_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> closePending_{false};
    std::uint64_t generation_ = 0;
    TMainThreadDispatcher* dispatcher_ = nullptr;
    // Lets calls posted to the main thread find out that the port is gone.
    std::shared_ptr<TCustomComPort*> alive_;

    // Handlers of this port running, and on which thread.
    std::atomic<int> handlerDepth_{0};
    std::atomic<std::thread::id> handlerThread_{};
};

// The published component; it adds nothing to TCustomComPort.
class TComPort : public TCustomComPort {
public:
    TComPort() = default;
    ~TComPort() override;
};

} // namespace serial
