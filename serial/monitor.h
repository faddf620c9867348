#pragma once
// TComThread: the event monitor of one open port. It sleeps in epoll on the
// device and a stop eventfd, moves what arrives into the port's receive
// queue and hands each batch of events to the port.
// Modem-line changes come from TModemWatch, a helper thread that sleeps in
// TIOCMIWAIT where the driver has it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serial/dispatcher.h"
#include "serial/lineops.h"
#include "serial/rxpath.h"
#include "serial/settings.h"

namespace serial {

// The modem lines at one moment: TIOCM_* bits, and the driver's change
// counters where it keeps them (TIOCGICOUNT).
struct TModemSnapshot {
    int lines = 0;
    bool counted = false;
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
};

// The line events between two snapshots, limited to wanted. Ring is the
// end of a ring signal, as the line event has always meant.
TComEvents ModemLineEvents(const TModemSnapshot& before, const TModemSnapshot& after,
                           TComEvents wanted);
// The TIOCMIWAIT mask for the line events in wanted (0: none wanted).
int ModemWaitMask(TComEvents wanted);

// How a TModemWatch reads and waits on a line. Both return 0 or an errno;
// wait must return EINTR when the watch's wake signal interrupts it.
struct TModemOps {
    std::function<int(TModemSnapshot&)> read;
    std::function<int(int mask)> wait;
};
// The lines (modemBits) with the counters where there are any (counters),
// and waitModem, of a port's line operations.
TModemOps ModemOpsOf(const TLineOps& line);

// A helper thread that sleeps until a wanted modem line changes and reports
// the line events. Without modem lines (read fails) no thread is started;
// a driver without TIOCMIWAIT ends it at once. It never wakes on its own.
class TModemWatch {
public:
    using Report = std::function<void(TComEvents)>;
    // Throws std::system_error if the OS refuses the thread.
    TModemWatch(TModemOps ops, TComEvents wanted, Report report);
    ~TModemWatch();
    TModemWatch(const TModemWatch&) = delete;
    TModemWatch& operator=(const TModemWatch&) = delete;

    // Ends the thread, interrupting its wait, and joins it. Idempotent.
    void Stop();
    bool Started() const { return started_; }
    bool Running() const;
    // The signal that interrupts the wait (a real-time signal whose handler
    // does nothing, installed once, without SA_RESTART).
    static int WakeSignal();

private:
    void Body(TModemSnapshot before);

    TModemOps ops_;
    TComEvents wanted_;
    int mask_;
    Report report_;
    bool started_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable endedCv_;
    bool ended_ = false;
    std::thread thread_;
};

// Where a monitor's batches go: the port's delivery.
class TMonitorClient {
public:
    // Monitor thread: hands a batch over by the port's delivery method.
    virtual void Deliver(TComEvents events) = 0;
    // Monitor thread: waits until the smThreadSync delivery handed over last
    // has run, and raises what its handlers raised. At once when none is open.
    virtual void AwaitDelivery() = 0;
    // Any thread: a handler asked for a close; the monitor is to end.
    virtual bool ClosePending() const = 0;
    // Monitor thread: the monitor ended by itself (a handler raised, the
    // wait failed, the device hung up).
    virtual void ReportEnded(const std::string& message) = 0;
    virtual TMainThreadDispatcher& Dispatcher() const = 0;

protected:
    ~TMonitorClient() = default;
};

// What a monitor is started with. The device and its line operations stay
// the port's; the monitor only waits on them and reads through rx.
struct TMonitorSetup {
    int fd = -1;
    TComEvents events;
    TLineOps lineOps;
    int lineSpeed = 0;
    TRxPath* rx = nullptr;
    TMonitorClient* client = nullptr;
    // The port's "output queued" descriptor: the monitor publishes its own
    // there while it watches for evTxEmpty, -1 otherwise.
    std::atomic<int>* txKick = nullptr;
};

class TComThread {
public:
    // Starts waiting. Throws std::system_error if the OS refuses the thread
    // or its wait objects.
    explicit TComThread(const TMonitorSetup& setup);
    // RequestStop, then waits for the thread to end as Stop does.
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    // Main thread: RequestStop, then waits for the thread to end in the
    // dispatcher's wait, so that a delivery under way completes.
    void Stop();
    void RequestStop();
    bool Running() const { return !ended_.load(std::memory_order_acquire); }
    // Main thread, inside a smThreadSync delivery: takes what the device
    // received meanwhile into the queue and returns the events the monitor
    // would have delivered next.
    TComEvents CatchUp();

private:
    void Body();
    // Returns the message of a monitor that ended by itself, or "" on stop.
    std::string Loop();
    // Error and break events from the driver's counters since the last look.
    TComEvents CounterEvents();
    void CloseFds();

    const int fd_;
    const TComEvents events_;
    const TLineOps lineOps_;
    const int lineSpeed_;
    TRxPath& rx_;
    TMonitorClient& client_;
    std::atomic<int>& txKick_;
    int epollFd_ = -1;
    int stopFd_ = -1;
    int kickFd_ = -1;
    int modemFd_ = -1;
    // Line events reported by the helper, not yet taken by the loop.
    std::atomic<std::uint32_t> modemPending_{0};
    std::unique_ptr<TModemWatch> modem_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    bool hungUp_ = false;
    bool counted_ = false;
    // The counters as last seen: by the loop, and by CatchUp on the main
    // thread while the loop waits for that delivery.
    TCounterWatch counters_;
    std::thread thread_;
};

} // namespace serial
