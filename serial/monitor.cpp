#include "serial/monitor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <system_error>

#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "serial/errors.h"

namespace serial {

namespace {

enum : std::uint32_t { kDevice = 0, kStop = 1, kKick = 2, kModem = 3, kResume = 4 };

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

extern "C" void IgnoreWake(int) {}

std::string HangUpMessage() { return EComPort(CError_ReadFailed, EIO).what(); }

// About the time queued bytes take on the line (10 bits a byte).
int TxWaitMs(int queued, int lineSpeed) {
    const long long ms = lineSpeed > 0 ? 10000LL * queued / lineSpeed : 100;
    return static_cast<int>(std::clamp<long long>(ms, 1, 100));
}

constexpr int kMaxTxWaitMs = 1000;

} // namespace

// --- modem lines ---------------------------------------------------------------

TComEvents ModemLineEvents(const TModemSnapshot& before, const TModemSnapshot& after,
                           TComEvents wanted) {
    const bool counted = before.counted && after.counted;
    const int flipped = before.lines ^ after.lines;
    TComEvents events;
    auto changed = [&](int bit, int was, int now) {
        return (flipped & bit) != 0 || (counted && was != now);
    };
    if (wanted.Has(evCTS) && changed(TIOCM_CTS, before.cts, after.cts))
        events.Include(evCTS);
    if (wanted.Has(evDSR) && changed(TIOCM_DSR, before.dsr, after.dsr))
        events.Include(evDSR);
    if (wanted.Has(evRLSD) && changed(TIOCM_CD, before.dcd, after.dcd))
        events.Include(evRLSD);
    if (wanted.Has(evRing)) {
        const bool wasOn = (before.lines & TIOCM_RNG) != 0;
        const bool isOn = (after.lines & TIOCM_RNG) != 0;
        bool ring = wasOn && !isOn;
        if (counted && after.rng != before.rng) {
            // Some drivers count only the end of a ring, others both edges:
            // one count that leaves the line turned on may be just its start.
            const unsigned moved = static_cast<unsigned>(after.rng) - static_cast<unsigned>(before.rng);
            ring = ring || !(moved == 1 && !wasOn && isOn);
        }
        if (ring)
            events.Include(evRing);
    }
    return events;
}

int ModemWaitMask(TComEvents wanted) {
    int mask = 0;
    if (wanted.Has(evCTS)) mask |= TIOCM_CTS;
    if (wanted.Has(evDSR)) mask |= TIOCM_DSR;
    if (wanted.Has(evRLSD)) mask |= TIOCM_CD;
    if (wanted.Has(evRing)) mask |= TIOCM_RNG;
    return mask;
}

TModemOps ModemOpsOf(const TLineOps& line) {
    auto read = [line](TModemSnapshot& s) {
        s = TModemSnapshot{};
        if (const int err = line.modemBits(s.lines))
            return err;
        TLineCounters c;
        if (line.counters(c) == 0)
            s = {s.lines, true, c.cts, c.dsr, c.rng, c.dcd};
        return 0;
    };
    return {read, line.waitModem};
}

int TModemWatch::WakeSignal() {
    static const int signal = [] {
        const int sig = SIGRTMAX - 3;
        struct sigaction sa{};
        sa.sa_handler = IgnoreWake;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the wait must end with EINTR
        ::sigaction(sig, &sa, nullptr);
        return sig;
    }();
    return signal;
}

TModemWatch::TModemWatch(TModemOps ops, TComEvents wanted, Report report)
    : ops_(std::move(ops)), wanted_(wanted), mask_(ModemWaitMask(wanted)),
      report_(std::move(report)) {
    TModemSnapshot first;
    // No lines at all (a pty): nothing to watch, no thread.
    if (mask_ == 0 || ops_.read(first) != 0)
        return;
    WakeSignal();
    // The helper starts with every signal blocked, so that none meant for
    // the process lands in it; it lets only its wake signal in.
    struct Restore {
        sigset_t old;
        ~Restore() { ::pthread_sigmask(SIG_SETMASK, &old, nullptr); }
    } restore;
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &restore.old);
    thread_ = std::thread(&TModemWatch::Body, this, first);
    started_ = true;
}

TModemWatch::~TModemWatch() { Stop(); }

bool TModemWatch::Running() const {
    std::lock_guard lock(mutex_);
    return started_ && !ended_;
}

void TModemWatch::Stop() {
    if (!thread_.joinable())
        return;
    stop_.store(true);
    {
        // The wake can land just before the helper enters its wait: repeat
        // it until the helper has left.
        std::unique_lock lock(mutex_);
        auto pause = std::chrono::milliseconds(1);
        while (!ended_) {
            ::pthread_kill(thread_.native_handle(), WakeSignal());
            endedCv_.wait_for(lock, pause, [this] { return ended_; });
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
        }
    }
    thread_.join();
}

void TModemWatch::Body(TModemSnapshot before) {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, WakeSignal());
    ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    // A driver that keeps answering without any change is not watched.
    int idle = 0;
    while (!stop_.load() && idle < 64) {
        const int err = ops_.wait(mask_);
        if (stop_.load())
            break;
        if (err == EINTR)
            continue;
        // No TIOCMIWAIT (ENOTTY, EINVAL), or the device went away (EIO,
        // which the monitor reports itself): the line events stop quietly.
        if (err != 0)
            break;
        TModemSnapshot after;
        if (ops_.read(after) != 0)
            break;
        const TComEvents events = ModemLineEvents(before, after, wanted_);
        before = after;
        if (events.Empty()) {
            ++idle;
            continue;
        }
        idle = 0;
        report_(events);
    }
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    endedCv_.notify_all();
}

// --- the monitor ---------------------------------------------------------------

TComThread::TComThread(const TMonitorSetup& setup)
    : fd_(setup.fd), events_(setup.events), lineOps_(setup.lineOps), lineSpeed_(setup.lineSpeed),
      rx_(*setup.rx), client_(*setup.client), txKick_(*setup.txKick) {
    auto fail = [this](int err) {
        CloseFds();
        throw std::system_error(err, std::generic_category());
    };
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0)
        fail(errno);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    kickFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0 || kickFd_ < 0)
        fail(errno);
    const bool lines = ModemWaitMask(events_) != 0;
    if (lines && (modemFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0)
        fail(errno);
    // Edge-triggered: each arrival wakes the loop once, and the loop takes
    // everything the device holds into the port's queue.
    auto add = [&](int fd, std::uint32_t what, std::uint32_t tag) {
        epoll_event e{};
        e.events = what;
        e.data.u32 = tag;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &e) != 0)
            fail(errno);
    };
    add(fd_, EPOLLIN | EPOLLET, kDevice);
    add(stopFd_, EPOLLIN, kStop);
    add(kickFd_, EPOLLIN, kKick);
    add(rx_.ResumeFd(), EPOLLIN, kResume);
    if (lines) {
        add(modemFd_, EPOLLIN, kModem);
        try {
            // Its reports join the monitor's next batch, so line events are
            // delivered like all others and in the same order.
            modem_ = std::make_unique<TModemWatch>(ModemOpsOf(lineOps_), events_, [this](TComEvents e) {
                modemPending_.fetch_or(e.Bits());
                SignalEventFd(modemFd_);
            });
        } catch (const std::system_error& e) {
            fail(e.code().value());
        }
        if (!modem_->Started()) {
            modem_.reset();
            CloseFd(modemFd_); // also leaves the epoll set
        }
    }
    if (events_.Has(evTxEmpty))
        txKick_.store(kickFd_, std::memory_order_release);
    // The counters as the port opened: what moves from here on is news.
    TComErrors none;
    counted_ = (events_.Has(evError) || events_.Has(evBreak)) && counters_.Look(lineOps_, none) == 0;
    try {
        thread_ = std::thread(&TComThread::Body, this);
    } catch (const std::system_error& e) {
        txKick_.store(-1);
        modem_.reset();
        fail(e.code().value());
    }
}

TComThread::~TComThread() {
    Stop();
    CloseFds();
}

void TComThread::CloseFds() {
    for (int* fd : {&epollFd_, &stopFd_, &kickFd_, &modemFd_})
        CloseFd(*fd);
}

void TComThread::Stop() {
    RequestStop();
    if (modem_)
        modem_->Stop();
    if (thread_.joinable()) {
        client_.Dispatcher().WaitUntil([this] { return !Running(); });
        thread_.join();
    }
    txKick_.store(-1, std::memory_order_release);
}

void TComThread::RequestStop() {
    if (stop_.exchange(true))
        return;
    SignalEventFd(stopFd_);
}

void TComThread::Body() {
    TMainThreadDispatcher& dispatcher = client_.Dispatcher();
    std::string ended;
    bool raised = false;
    try {
        ended = Loop();
        client_.AwaitDelivery();
        // Stopped, hung up or failed wait: both queues are emptied, the
        // driver's and ours, as the monitor ends; what was just written (an
        // acknowledgement before a close) may leave first. A raised handler
        // leaves them as they were.
        PurgeQueues(fd_, lineSpeed_);
        rx_.Clear();
    } catch (const std::exception& e) {
        ended = e.what();
        raised = true;
    } catch (...) {
        ended = "Unknown error";
        raised = true;
    }
    // A handler that failed because the line went away (a write, say) is
    // the hang-up itself: reported as such, whatever it raised.
    pollfd device{fd_, POLLIN, 0};
    if (raised && (hungUp_ || (::poll(&device, 1, 0) == 1 && (device.revents & (POLLHUP | POLLERR)))))
        ended = HangUpMessage();
    // Ended before the report is queued, so whoever reads the report finds
    // the monitor gone; the join still waits for this function to return.
    ended_.store(true, std::memory_order_release);
    // A close asked for by the handler is no end to report.
    if (!ended.empty() && !stop_.load() && !client_.ClosePending())
        client_.ReportEnded(ended);
    dispatcher.Notify();
}

TComEvents TComThread::CounterEvents() {
    TComErrors moved;
    if (counters_.Look(lineOps_, moved) != 0)
        return {};
    TComEvents events;
    if (events_.Has(evBreak) && moved.Has(ceBreak))
        events.Include(evBreak);
    moved.Exclude(ceBreak);
    if (events_.Has(evError) && !moved.Empty())
        events.Include(evError);
    return events;
}

TComEvents TComThread::CatchUp() {
    if (stop_.load())
        return {};
    // Whatever is left (a hang-up, an error, the rest of a burst) the loop
    // still finds through the arrival's wake.
    const TRxPath::Drained d = rx_.DrainForMonitor();
    TComEvents batch = d.events;
    if (counted_ && !d.events.Empty())
        batch |= CounterEvents();
    batch |= rx_.TakeReaderEvents();
    return batch & events_;
}

std::string TComThread::Loop() {
    bool txPending = false;
    int lastQueued = -1;
    int txWait = 0;
    epoll_event ready[5];
    for (;;) {
        int timeout = -1;
        if (txPending) {
            // Output still queued in the driver: look again about when it
            // should have gone. Output that does not move (held back by
            // flow control) is looked at less and less often.
            int queued = 0;
            if (lineOps_.outputQueued(queued) == 0 && queued > 0) {
                txWait = queued == lastQueued ? std::min(txWait * 2, kMaxTxWaitMs) : TxWaitMs(queued, lineSpeed_);
                lastQueued = queued;
                timeout = txWait;
            }
        }
        const int n = ::epoll_wait(epollFd_, ready, 5, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return EComPort(CError_WaitFailed, errno).what();
        }
        // Nothing of the device is touched until the last batch's handlers ran.
        client_.AwaitDelivery();
        // A stop that comes together with device events wins.
        if (stop_.load())
            return {};
        bool rx = false;
        bool hangUp = false;
        TComEvents batch;
        for (int i = 0; i < n; ++i) {
            const std::uint32_t tag = ready[i].data.u32;
            if (tag == kDevice) {
                rx |= (ready[i].events & EPOLLIN) != 0;
                hangUp |= (ready[i].events & (EPOLLHUP | EPOLLERR)) != 0;
            } else if (tag == kKick) {
                ClearEventFd(kickFd_);
                txPending = true;
                lastQueued = -1;
            } else if (tag == kResume) {
                rx_.ClearResume();
                rx = true;
            } else if (tag == kModem) {
                ClearEventFd(modemFd_);
                batch |= TComEvents::FromBits(modemPending_.exchange(0));
            }
        }
        if (rx || hangUp) {
            const TRxPath::Drained d = rx_.DrainForMonitor();
            hangUp |= d.hungUp;
            if (d.error != 0)
                return EComPort(CError_ReadFailed, d.error).what();
            batch |= d.events & events_;
            if (counted_ && rx)
                batch |= CounterEvents();
        }
        // Bytes a reader took from the device itself since the last turn.
        batch |= rx_.TakeReaderEvents() & events_;
        if (txPending) {
            int queued = 0;
            if (lineOps_.outputQueued(queued) != 0 || queued == 0) {
                txPending = false;
                batch.Include(evTxEmpty);
            }
        }
        hungUp_ = hungUp_ || hangUp;
        // The last bytes before a hang-up are still announced.
        if (!batch.Empty())
            client_.Deliver(batch);
        if (hangUp)
            return HangUpMessage();
        if (stop_.load() || client_.ClosePending())
            return {};
    }
}

} // namespace serial
