// Modem-line events: the change-to-events rule, the helper thread that
// waits for line changes, and its events on their way to the handlers.
// A pty has no modem lines, so a simulated line stands in for the driver
// where one is needed; its wait blocks in a real read() that only the
// helper's wake signal can end.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

#include "pty_peer.h"
#include "serial/comport.h"
#include "serial/monitor.h"

using namespace serial;
using namespace serial_test;

namespace {

TModemSnapshot Lines(int lines) {
    TModemSnapshot s;
    s.lines = lines;
    return s;
}

TModemSnapshot Counted(int lines, int cts, int dsr, int rng, int dcd) {
    TModemSnapshot s;
    s.lines = lines;
    s.counted = true;
    s.cts = cts;
    s.dsr = dsr;
    s.rng = rng;
    s.dcd = dcd;
    return s;
}

const TComEvents kLineEvents{evCTS, evDSR, evRLSD, evRing};

TEST(ModemLineEvents, LineFlipsBecomeTheirEvents) {
    EXPECT_EQ(ModemLineEvents(Lines(0), Lines(TIOCM_CTS), kAllComEvents), TComEvents{evCTS});
    EXPECT_EQ(ModemLineEvents(Lines(TIOCM_CTS), Lines(0), kAllComEvents), TComEvents{evCTS});
    EXPECT_EQ(ModemLineEvents(Lines(0), Lines(TIOCM_DSR), kAllComEvents), TComEvents{evDSR});
    EXPECT_EQ(ModemLineEvents(Lines(TIOCM_CD), Lines(0), kAllComEvents), TComEvents{evRLSD});
    EXPECT_EQ(ModemLineEvents(Lines(TIOCM_CTS | TIOCM_DSR), Lines(TIOCM_CD), kAllComEvents),
              (TComEvents{evCTS, evDSR, evRLSD}));
    // Lines that stay as they were, and our own outputs, raise nothing.
    EXPECT_TRUE(ModemLineEvents(Lines(TIOCM_CTS | TIOCM_CD), Lines(TIOCM_CTS | TIOCM_CD),
                                kAllComEvents).Empty());
    EXPECT_TRUE(ModemLineEvents(Lines(0), Lines(TIOCM_DTR | TIOCM_RTS), kAllComEvents).Empty());
}

TEST(ModemLineEvents, RingIsTheEndOfARingSignal) {
    EXPECT_EQ(ModemLineEvents(Lines(TIOCM_RNG), Lines(0), kAllComEvents), TComEvents{evRing});
    EXPECT_TRUE(ModemLineEvents(Lines(0), Lines(TIOCM_RNG), kAllComEvents).Empty());
    // With counters: a ring that came and went between two looks is seen.
    EXPECT_EQ(ModemLineEvents(Counted(0, 0, 0, 4, 0), Counted(0, 0, 0, 5, 0), kAllComEvents),
              TComEvents{evRing});
    EXPECT_EQ(ModemLineEvents(Counted(0, 0, 0, 4, 0), Counted(0, 0, 0, 6, 0), kAllComEvents),
              TComEvents{evRing});
    // One count that leaves the line on may be only the start of a ring.
    EXPECT_TRUE(ModemLineEvents(Counted(0, 0, 0, 4, 0), Counted(TIOCM_RNG, 0, 0, 5, 0),
                                kAllComEvents).Empty());
    // Ended and started again.
    EXPECT_EQ(ModemLineEvents(Counted(0, 0, 0, 4, 0), Counted(TIOCM_RNG, 0, 0, 6, 0), kAllComEvents),
              TComEvents{evRing});
    EXPECT_EQ(ModemLineEvents(Counted(TIOCM_RNG, 0, 0, 4, 0), Counted(TIOCM_RNG, 0, 0, 5, 0),
                              kAllComEvents),
              TComEvents{evRing});
    // Counters that wrap around still count as moved.
    EXPECT_EQ(ModemLineEvents(Counted(0, 0, 0, 2147483647, 0), Counted(0, 0, 0, -2147483647 - 1, 0),
                              kAllComEvents),
              TComEvents{evRing});
}

TEST(ModemLineEvents, CountersCatchChangesThatFlippedBack) {
    // CTS went off and on again, DCD twice, between two looks.
    EXPECT_EQ(ModemLineEvents(Counted(TIOCM_CTS, 10, 3, 0, 7), Counted(TIOCM_CTS, 12, 3, 0, 9),
                              kAllComEvents),
              (TComEvents{evCTS, evRLSD}));
    // Counters from only one side (the driver stopped counting): lines only.
    TModemSnapshot uncounted = Lines(TIOCM_CTS);
    uncounted.cts = 99;
    EXPECT_TRUE(ModemLineEvents(Counted(TIOCM_CTS, 1, 0, 0, 0), uncounted, kAllComEvents).Empty());
}

TEST(ModemLineEvents, OnlyWantedEventsAndTheirWaitMask) {
    const TModemSnapshot before = Counted(0, 0, 0, 0, 0);
    const TModemSnapshot after = Counted(TIOCM_CTS | TIOCM_DSR | TIOCM_CD, 1, 1, 2, 1);
    EXPECT_EQ(ModemLineEvents(before, after, kLineEvents), kLineEvents);
    EXPECT_EQ(ModemLineEvents(before, after, TComEvents{evDSR, evRxChar}), TComEvents{evDSR});
    EXPECT_TRUE(ModemLineEvents(before, after, TComEvents{evRxChar, evError, evBreak}).Empty());

    EXPECT_EQ(ModemWaitMask(kAllComEvents), TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
    EXPECT_EQ(ModemWaitMask(TComEvents{evRing, evRxChar}), TIOCM_RNG);
    EXPECT_EQ(ModemWaitMask(TComEvents{evRLSD}), TIOCM_CD);
    EXPECT_EQ(ModemWaitMask(TComEvents{evRxChar, evTxEmpty, evRxFlag, evBreak, evError, evRx80Full}), 0);
}

TEST(ModemWatchSignal, InterruptsBlockingCallsInsteadOfRestartingThem) {
    const int sig = TModemWatch::WakeSignal();
    struct sigaction sa{};
    ASSERT_EQ(::sigaction(sig, nullptr, &sa), 0);
    EXPECT_NE(sa.sa_handler, SIG_DFL); // the default would end the process
    EXPECT_NE(sa.sa_handler, SIG_IGN); // an ignored signal would not wake
    EXPECT_EQ(sa.sa_flags & SA_RESTART, 0);
}

// A line with modem signals, simulated: wait blocks in read() on a pipe
// until the test changes the lines (or a signal ends it).
class SimLine {
public:
    SimLine() {
        if (::pipe2(fds_, O_CLOEXEC) != 0)
            std::abort();
    }
    ~SimLine() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }

    // The driver's side of the port's line operations.
    TLineOps LineOps() {
        TLineOps ops;
        ops.modemBits = [this](int& bits) {
            std::lock_guard lock(mutex_);
            ++reads_;
            bits = now_.lines;
            return readError_;
        };
        ops.counters = [this](TLineCounters& c) {
            std::lock_guard lock(mutex_);
            if (!now_.counted)
                return ENOTTY;
            c = errors_;
            c.cts = now_.cts;
            c.dsr = now_.dsr;
            c.rng = now_.rng;
            c.dcd = now_.dcd;
            return 0;
        };
        ops.waitModem = [this](int mask) {
            {
                std::lock_guard lock(mutex_);
                lastMask_ = mask;
                ++waits_;
                if (waitError_ != 0)
                    return waitError_;
            }
            char c;
            const ssize_t n = ::read(fds_[0], &c, 1);
            return n == 1 ? 0 : errno;
        };
        ops.outputQueued = [this](int& bytes) {
            std::lock_guard lock(mutex_);
            ++outqLooks_;
            bytes = outq_;
            return 0;
        };
        return ops;
    }
    TModemOps Ops() { return ModemOpsOf(LineOps()); }

    // The error counters, and the bytes the driver holds back unsent.
    void SetErrors(const TLineCounters& c) { std::lock_guard lock(mutex_); errors_ = c; }
    void SetOutputQueued(int n) { std::lock_guard lock(mutex_); outq_ = n; }
    int OutputLooks() { std::lock_guard lock(mutex_); return outqLooks_; }

    // The lines as they are, without waking a wait.
    void Preset(const TModemSnapshot& s) {
        std::lock_guard lock(mutex_);
        now_ = s;
    }
    // The lines change: wakes a wait.
    void Set(const TModemSnapshot& s) {
        {
            std::lock_guard lock(mutex_);
            now_ = s;
        }
        const char c = 'x';
        [[maybe_unused]] auto r = ::write(fds_[1], &c, 1);
    }
    void FailReadsWith(int err) { std::lock_guard lock(mutex_); readError_ = err; }
    void FailWaitsWith(int err) { std::lock_guard lock(mutex_); waitError_ = err; }
    int Waits() { std::lock_guard lock(mutex_); return waits_; }
    int LastMask() { std::lock_guard lock(mutex_); return lastMask_; }
    // Changes the lines and waits until the helper has looked at them and
    // gone back to waiting.
    bool Step(const TModemSnapshot& s) {
        const int n = Waits();
        Set(s);
        return AwaitWaits(n + 1);
    }
    // Blocks until the helper sits in (or is about to enter) its nth wait.
    bool AwaitWaits(int n) {
        for (int i = 0; i < 2000; ++i) {
            if (Waits() >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    int fds_[2];
    std::mutex mutex_;
    TModemSnapshot now_;
    int readError_ = 0;
    int waitError_ = 0;
    int waits_ = 0;
    int reads_ = 0;
    int lastMask_ = 0;
    TLineCounters errors_;
    int outq_ = 0;
    int outqLooks_ = 0;
};

// Collects what a watch reports, from its thread.
struct Reports {
    std::mutex mutex;
    std::vector<TComEvents> seen;
    TModemWatch::Report Sink() {
        return [this](TComEvents e) {
            std::lock_guard lock(mutex);
            seen.push_back(e);
        };
    }
    std::vector<TComEvents> Take() {
        std::lock_guard lock(mutex);
        return seen;
    }
    bool AwaitCount(std::size_t n) {
        for (int i = 0; i < 2000; ++i) {
            if (Take().size() >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

// A thread that has just been joined may linger in /proc for a moment:
// the count once it has stopped falling.
int StableThreadCount() {
    int n = ThreadCount();
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int again = ThreadCount();
        if (again == n)
            break;
        n = again;
    }
    return n;
}

bool AwaitThreadCount(int n) {
    for (int i = 0; i < 1000; ++i) {
        if (ThreadCount() == n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ThreadCount() == n;
}

bool AwaitEnd(const TModemWatch& w) {
    for (int i = 0; i < 2000 && w.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !w.Running();
}

TEST(ModemWatch, OnAPtyNoHelperIsStarted) {
    PtyPeer pty;
    const int fd = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const int threads = StableThreadCount();
    Reports reports;
    {
        TModemWatch watch(ModemOpsOf(DeviceLineOps(fd)), kAllComEvents, reports.Sink());
        EXPECT_FALSE(watch.Started());
        EXPECT_FALSE(watch.Running());
        EXPECT_EQ(ThreadCount(), threads);
    }
    // The pty's answer to the wait itself: refused at once, never blocking.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(DeviceLineOps(fd).waitModem(ModemWaitMask(kAllComEvents)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    TModemSnapshot s;
    EXPECT_NE(ModemOpsOf(DeviceLineOps(fd)).read(s), 0);
    ::close(fd);
    EXPECT_TRUE(reports.Take().empty());
}

TEST(ModemWatch, DriversThatCannotWaitEndTheHelperAtOnceWithoutSpinning) {
    for (int err : {ENOTTY, EINVAL, EIO}) {
        SimLine line;
        line.FailWaitsWith(err);
        Reports reports;
        TModemWatch watch(line.Ops(), kAllComEvents, reports.Sink());
        EXPECT_TRUE(watch.Started());
        ASSERT_TRUE(AwaitEnd(watch)) << err;
        EXPECT_EQ(line.Waits(), 1) << err;
        EXPECT_TRUE(reports.Take().empty());
    }
    {
        // A wait that returns at once with nothing changed, again and again.
        SimLine line;
        Reports reports;
        TModemWatch watch(line.Ops(), kAllComEvents, reports.Sink());
        for (int i = 0; i < 200; ++i)
            line.Set(Lines(0));
        ASSERT_TRUE(AwaitEnd(watch));
        EXPECT_LT(line.Waits(), 200);
        EXPECT_TRUE(reports.Take().empty());
    }
    {
        // Lines that cannot be read after a wait (device gone).
        SimLine line;
        Reports reports;
        TModemWatch watch(line.Ops(), kAllComEvents, reports.Sink());
        ASSERT_TRUE(line.AwaitWaits(1));
        line.FailReadsWith(EIO);
        line.Set(Lines(TIOCM_CTS));
        ASSERT_TRUE(AwaitEnd(watch));
        EXPECT_TRUE(reports.Take().empty());
    }
    {
        // Nothing wanted: nothing to watch.
        SimLine line;
        Reports reports;
        TModemWatch watch(line.Ops(), TComEvents{evRxChar, evError}, reports.Sink());
        EXPECT_FALSE(watch.Started());
        EXPECT_EQ(line.Waits(), 0);
    }
}

TEST(ModemWatch, ReportsEachChangeOfAWantedLine) {
    SimLine line;
    Reports reports;
    TModemWatch watch(line.Ops(), TComEvents{evCTS, evRing, evRxChar}, reports.Sink());
    ASSERT_TRUE(watch.Started());
    ASSERT_TRUE(line.AwaitWaits(1));
    EXPECT_EQ(line.LastMask(), TIOCM_CTS | TIOCM_RNG);
    ASSERT_TRUE(line.Step(Lines(TIOCM_CTS)));
    ASSERT_TRUE(line.Step(Lines(TIOCM_CTS | TIOCM_DSR)));             // not wanted
    ASSERT_TRUE(line.Step(Lines(TIOCM_CTS | TIOCM_DSR | TIOCM_RNG))); // a ring starts
    ASSERT_TRUE(line.Step(Lines(TIOCM_DSR)));                         // it ends, CTS drops
    EXPECT_TRUE(watch.Running());
    const std::vector<TComEvents> seen = reports.Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], TComEvents{evCTS});
    EXPECT_EQ(seen[1], (TComEvents{evCTS, evRing}));
}

TEST(ModemWatch, StopEndsABlockedWaitAtOnce) {
    SimLine line;
    Reports reports;
    Watchdog dog(30, "stopping a blocked modem watch"); // a thread too: before the count
    const int threads = StableThreadCount();
    TModemWatch watch(line.Ops(), kAllComEvents, reports.Sink());
    ASSERT_TRUE(line.AwaitWaits(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // inside read()
    EXPECT_TRUE(watch.Running());
    EXPECT_TRUE(AwaitThreadCount(threads + 1));
    const auto t0 = std::chrono::steady_clock::now();
    watch.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_FALSE(watch.Running());
    EXPECT_TRUE(AwaitThreadCount(threads));
    watch.Stop(); // again: nothing left to do
    EXPECT_TRUE(reports.Take().empty());
}

TEST(ModemWatch, ThousandStartsAndStopsLeakNothing) {
    SimLine line;
    Reports reports;
    Watchdog dog(120, "1000 modem watch cycles"); // a thread too: before the count
    const int threads = StableThreadCount();
    const int fds = OpenFdCount();
    for (int i = 0; i < 1000; ++i) {
        const int waits = line.Waits();
        TModemWatch watch(line.Ops(), kAllComEvents, reports.Sink());
        ASSERT_TRUE(watch.Started());
        // Every stop of the second half lands on a wait that is under way;
        // the first half races with the helper's own start.
        if (i >= 500) {
            ASSERT_TRUE(line.AwaitWaits(waits + 1));
        }
    }
    EXPECT_TRUE(AwaitThreadCount(threads));
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_TRUE(reports.Take().empty());
}

// --- through a port ---------------------------------------------------------------

SimLine* simLine = nullptr;
TLineOps SimLineOps(int) { return simLine->LineOps(); }

class PortLines : public ::testing::Test {
protected:
    void SetUp() override {
        line.Preset(Counted(0, 0, 0, 0, 0));
        simLine = &line;
        SetLineOpsSource(&SimLineOps);
        port.SetDispatcher(&dispatcher);
        port.SetPort(pty.Path());
        port.OnRing = [this](TComPort&) { Log("Ring"); };
        port.OnCTSChange = [this](TComPort&, bool on) { Log(on ? "CTS+" : "CTS-"); };
        port.OnDSRChange = [this](TComPort&, bool on) { Log(on ? "DSR+" : "DSR-"); };
        port.OnRLSDChange = [this](TComPort&, bool on) { Log(on ? "RLSD+" : "RLSD-"); };
        port.OnRxChar = [this](TComPort& p, int n) {
            std::string t;
            p.ReadText(t, n);
            Log("Rx " + t);
        };
    }
    void TearDown() override {
        port.ClosePort();
        SetLineOpsSource(nullptr);
        simLine = nullptr;
    }
    void Log(const std::string& s) {
        onMain = onMain && std::this_thread::get_id() == mainThread;
        log.push_back(s);
    }

    PtyPeer pty;
    SimLine line;
    TPlainDispatcher dispatcher;
    std::vector<std::string> log;
    bool onMain = true;
    const std::thread::id mainThread = std::this_thread::get_id();
    TComPort port;
};

TEST_F(PortLines, LineChangesReachTheHandlersInTheirOrder) {
    port.OpenPort();
    ASSERT_TRUE(line.AwaitWaits(1));
    log.clear(); // the line states at open
    // All four lines at once: one batch, handled in the monitor's order.
    line.Set(Counted(TIOCM_CTS | TIOCM_DSR | TIOCM_CD, 1, 1, 1, 1));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return log.size() >= 4; }));
    // The handling steps read the lines as they are now.
    EXPECT_EQ(log, (std::vector<std::string>{"Ring", "CTS+", "DSR+", "RLSD+"}));
    log.clear();
    pty.Write("ab");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !log.empty(); }));
    line.Set(Counted(TIOCM_DSR | TIOCM_CD, 2, 1, 1, 1));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return log.size() >= 2; }));
    PumpFor(dispatcher, 100);
    EXPECT_EQ(log, (std::vector<std::string>{"Rx ab", "CTS-"}));
    EXPECT_TRUE(onMain);
}

TEST_F(PortLines, OnlyTheLinesOfEventsAreWatched) {
    port.SetEvents(TComEvents{evRxChar, evRLSD});
    port.OpenPort();
    ASSERT_TRUE(line.AwaitWaits(1));
    EXPECT_EQ(line.LastMask(), TIOCM_CD);
    log.clear();
    line.Set(Counted(TIOCM_CTS | TIOCM_CD, 1, 0, 0, 1));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !log.empty(); }));
    PumpFor(dispatcher, 100);
    EXPECT_EQ(log, std::vector<std::string>{"RLSD+"});
    log.clear();

    // No line event wanted: no helper, no wait.
    port.ClosePort();
    const int waits = line.Waits();
    const int threads = StableThreadCount();
    port.SetEvents(TComEvents{evRxChar});
    port.OpenPort();
    EXPECT_TRUE(AwaitThreadCount(threads + 1)); // the monitor alone
    PumpFor(dispatcher, 50);
    EXPECT_EQ(line.Waits(), waits);
}

TEST_F(PortLines, LineStatesAndErrorsFollowTheDriversAnswers) {
    line.Preset(Counted(TIOCM_CTS | TIOCM_CD | TIOCM_DTR, 0, 0, 0, 0));
    port.OpenPort();
    EXPECT_EQ(port.ModemSignals(), (TLineSignals{lsCTS, lsRLSD}));
    line.Preset(Counted(TIOCM_DSR | TIOCM_RNG, 0, 0, 0, 0));
    EXPECT_EQ(port.ModemSignals(), (TLineSignals{lsDSR, lsRing}));

    // Each counter that moved is one error; parity only while it is checked.
    TLineCounters c;
    c.parity = 1;
    line.SetErrors(c);
    EXPECT_TRUE(port.TakeLineErrors().Empty());
    c.parity = 2;
    line.SetErrors(c);
    port.Parity().SetCheck(true);
    EXPECT_EQ(port.TakeLineErrors(), TComErrors{ceRxParity});
    EXPECT_TRUE(port.TakeLineErrors().Empty()); // taken
    c.overrun = 1;
    c.frame = 3;
    c.brk = 1;
    c.bufOverrun = 1;
    line.SetErrors(c);
    EXPECT_EQ(port.TakeLineErrors(), (TComErrors{ceOverrun, ceFrame, ceBreak, ceRxOver}));
    // A PendingInput in between does not take them (Linux keeps them apart).
    c.frame = 4;
    line.SetErrors(c);
    port.PendingInput();
    EXPECT_EQ(port.TakeLineErrors(), TComErrors{ceFrame});
}

TEST_F(PortLines, CountersThatMoveWithReceivedBytesRaiseErrorAndBreak) {
    std::vector<TComErrors> errors;
    port.OnError = [&](TComPort&, TComErrors e) { errors.push_back(e); };
    port.OnBreak = [this](TComPort&) { Log("Break"); };
    port.OpenPort();
    ASSERT_TRUE(line.AwaitWaits(1));
    log.clear();
    TLineCounters c;
    c.brk = 1;
    line.SetErrors(c);
    pty.Write(std::string(1, '\0')); // a break arrives as a zero byte
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return log.size() >= 2; }));
    PumpFor(dispatcher, 50);
    // A break is no line-status error: evBreak alone, the error waits.
    EXPECT_EQ(log, (std::vector<std::string>{std::string("Rx ") + '\0', "Break"}));
    EXPECT_TRUE(errors.empty());
    c.frame = 1;
    line.SetErrors(c);
    pty.Write("f");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<TComErrors>{(TComErrors{ceFrame, ceBreak})});
}

TEST_F(PortLines, TxEmptyWaitsForHeldOutputWithoutPolling) {
    int empties = 0;
    port.OnTxEmpty = [&](TComPort&) { ++empties; };
    port.OpenPort();
    PumpFor(dispatcher, 50);
    EXPECT_EQ(empties, 0);
    // Flow control holds the bytes in the driver.
    line.SetOutputQueued(4);
    const int looksBefore = line.OutputLooks();
    EXPECT_EQ(port.WriteText("data"), 4);
    PumpFor(dispatcher, 1500);
    EXPECT_EQ(empties, 0);
    // Looked at with a growing pause, not every millisecond.
    EXPECT_LE(line.OutputLooks() - looksBefore, 40);
    line.SetOutputQueued(0);
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return empties == 1; }, 5000));
    PumpFor(dispatcher, 100);
    EXPECT_EQ(empties, 1);
    EXPECT_EQ(pty.Read(4), "data");
}

TEST_F(PortLines, CloseWithTheHelperWaitingIsQuickAndLeavesNoThread) {
    Watchdog dog(60, "closing ports whose helper waits"); // a thread too: before the count
    port.OpenPort(); // the port keeps one descriptor from its first open on
    port.ClosePort();
    const int threads = StableThreadCount();
    const int fds = OpenFdCount();
    for (int i = 0; i < 100; ++i) {
        const int waits = line.Waits();
        port.OpenPort();
        ASSERT_TRUE(line.AwaitWaits(waits + 1));
        if (i == 0) {
            ASSERT_TRUE(AwaitThreadCount(threads + 2)); // monitor and helper
        }
        const auto t0 = std::chrono::steady_clock::now();
        port.ClosePort();
        ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    }
    EXPECT_TRUE(AwaitThreadCount(threads));
    EXPECT_EQ(OpenFdCount(), fds);
}

TEST_F(PortLines, RealPtyOpensAndClosesWithoutAHelper) {
    SetLineOpsSource(nullptr); // the pty's own answers
    const int threads = StableThreadCount();
    port.OpenPort();
    EXPECT_TRUE(AwaitThreadCount(threads + 1)); // the monitor alone
    pty.Write("z");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !log.empty() && log.back() == "Rx z"; }));
    port.ClosePort();
    EXPECT_TRUE(AwaitThreadCount(threads));
    EXPECT_EQ(line.Waits(), 0);
}

} // namespace
