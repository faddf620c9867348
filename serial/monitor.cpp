#include "serial/monitor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <system_error>

#include <linux/serial.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "serial/comport.h"

namespace serial {

namespace {

enum : std::uint32_t { kDevice = 0, kStop = 1, kKick = 2, kModem = 3 };

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::atomic<TModemOpsSource> modemOpsSource{nullptr};

extern "C" void IgnoreWake(int) {}

} // namespace

// --- output drain --------------------------------------------------------------

bool DrainOutput(int fd, int bitsPerSecond) {
    using Clock = std::chrono::steady_clock;
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
        return false;
    if (queued <= 0)
        return true;
    // 12 bits a character covers parity and two stop bits.
    const double msPerChar = 12000.0 / std::max(bitsPerSecond, 50);
    const auto budget = std::chrono::milliseconds(
        std::min(500, static_cast<int>(queued * msPerChar) + 20));
    // A line held by flow control (or a device that stopped) keeps its bytes:
    // give up once nothing has left for a few character times.
    const auto stall = std::chrono::milliseconds(std::max(10, static_cast<int>(3 * msPerChar)));
    const auto step = std::chrono::microseconds(std::clamp(static_cast<int>(msPerChar * 1000), 200, 5000));
    const auto end = Clock::now() + budget;
    auto lastProgress = Clock::now();
    while (Clock::now() < end && Clock::now() - lastProgress < stall) {
        std::this_thread::sleep_for(step);
        int now = 0;
        if (::ioctl(fd, TIOCOUTQ, &now) != 0)
            return false;
        if (now <= 0)
            return true;
        if (now < queued) {
            queued = now;
            lastProgress = Clock::now();
        }
    }
    return false;
}

void PurgeQueues(int fd, int bitsPerSecond) {
    ::tcflush(fd, DrainOutput(fd, bitsPerSecond) ? TCIFLUSH : TCIOFLUSH);
}

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

TModemOps DeviceModemOps(int fd) {
    TModemOps ops;
    ops.read = [fd](TModemSnapshot& s) {
        s = TModemSnapshot{};
        if (::ioctl(fd, TIOCMGET, &s.lines) != 0)
            return errno;
        serial_icounter_struct ic{};
        if (::ioctl(fd, TIOCGICOUNT, &ic) == 0) {
            s.counted = true;
            s.cts = ic.cts;
            s.dsr = ic.dsr;
            s.rng = ic.rng;
            s.dcd = ic.dcd;
        }
        return 0;
    };
    ops.wait = [fd](int mask) { return ::ioctl(fd, TIOCMIWAIT, mask) == 0 ? 0 : errno; };
    return ops;
}

void SetModemOpsSource(TModemOpsSource source) { modemOpsSource.store(source); }

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
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        thread_ = std::thread(&TModemWatch::Body, this, first);
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
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

TComThread::TComThread(TCustomComPort& port)
    : port_(port), fd_(port.handle_), events_(port.events_),
      rx80Level_(port.buffer_.InputSize() * 8 / 10), bitsPerSecond_(port.LineSpeed()) {
    auto fail = [this](int err) {
        CloseFd(epollFd_);
        CloseFd(stopFd_);
        CloseFd(kickFd_);
        CloseFd(modemFd_);
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
    // Edge-triggered: bytes a handler leaves unread are announced again only
    // when further bytes arrive, and never make the loop spin.
    epoll_event dev{};
    dev.events = EPOLLIN | EPOLLET;
    dev.data.u32 = kDevice;
    epoll_event stop{};
    stop.events = EPOLLIN;
    stop.data.u32 = kStop;
    epoll_event kick{};
    kick.events = EPOLLIN;
    kick.data.u32 = kKick;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd_, &dev) != 0 ||
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, stopFd_, &stop) != 0 ||
        ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, kickFd_, &kick) != 0)
        fail(errno);
    if (lines) {
        epoll_event modem{};
        modem.events = EPOLLIN;
        modem.data.u32 = kModem;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, modemFd_, &modem) != 0)
            fail(errno);
        const TModemOpsSource source = modemOpsSource.load();
        try {
            // Its reports join the monitor's next batch, so line events are
            // delivered like all others and in the same order.
            modem_ = std::make_unique<TModemWatch>(
                source ? source(fd_) : DeviceModemOps(fd_), events_, [this](TComEvents e) {
                    modemPending_.fetch_or(e.Bits());
                    const std::uint64_t one = 1;
                    [[maybe_unused]] auto r = ::write(modemFd_, &one, sizeof one);
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
        port.txKickFd_.store(kickFd_, std::memory_order_release);
    try {
        thread_ = std::thread(&TComThread::Body, this);
    } catch (const std::system_error& e) {
        port.txKickFd_.store(-1);
        modem_.reset();
        fail(e.code().value());
    }
}

TComThread::~TComThread() {
    Stop();
    CloseFd(epollFd_);
    CloseFd(stopFd_);
    CloseFd(kickFd_);
    CloseFd(modemFd_);
}

void TComThread::Stop() {
    RequestStop();
    if (modem_)
        modem_->Stop();
    port_.Dispatcher().RunUntil([this] { return !Running(); });
    if (thread_.joinable())
        thread_.join();
}

void TComThread::RequestStop() {
    if (stop_.exchange(true))
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(stopFd_, &one, sizeof one);
}

void TComThread::Body() {
    TMainThreadDispatcher& dispatcher = port_.Dispatcher();
    std::string ended;
    try {
        ended = Loop();
        // Stopped, hung up or failed wait: the device is tidied as the
        // monitor ends. A raised handler leaves it as it was.
        Cleanup();
    } catch (const std::exception& e) {
        ended = e.what();
    } catch (...) {
        ended = "Unknown error";
    }
    // Ended before the report is queued, so whoever reads the report finds
    // the monitor gone; the join still waits for this function to return.
    ended_.store(true, std::memory_order_release);
    if (!ended.empty() && !stop_.load())
        port_.ReportMonitorEnded(ended);
    dispatcher.Notify();
}

void TComThread::Cleanup() {
    // Both driver queues are emptied as the monitor ends; what was just
    // written (an acknowledgement before a close) may leave first.
    PurgeQueues(fd_, bitsPerSecond_);
}

std::string TComThread::Loop() {
    serial_icounter_struct last{};
    const bool counters = (events_.Has(evError) || events_.Has(evBreak)) &&
                          ::ioctl(fd_, TIOCGICOUNT, &last) == 0;
    bool above80 = false;
    bool txPending = false;
    epoll_event ready[4];
    for (;;) {
        int timeout = -1;
        if (txPending) {
            // Output still queued in the driver: look again about when it
            // should have gone (only while there is output).
            int outq = 0;
            if (::ioctl(fd_, TIOCOUTQ, &outq) == 0 && outq > 0)
                timeout = std::clamp(outq / 2, 1, 100);
        }
        const int n = ::epoll_wait(epollFd_, ready, 4, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return EComPort(CError_WaitFailed, errno).what();
        }
        // A stop that comes together with device events wins.
        if (stop_.load())
            return {};
        bool rx = false;
        bool hangUp = false;
        TComEvents batch;
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.u32 == kDevice) {
                rx |= (ready[i].events & EPOLLIN) != 0;
                hangUp |= (ready[i].events & (EPOLLHUP | EPOLLERR)) != 0;
            } else if (ready[i].data.u32 == kKick) {
                std::uint64_t v;
                [[maybe_unused]] auto r = ::read(kickFd_, &v, sizeof v);
                txPending = true;
            } else if (ready[i].data.u32 == kModem) {
                std::uint64_t v;
                [[maybe_unused]] auto r = ::read(modemFd_, &v, sizeof v);
                batch = TComEvents::FromBits(batch.Bits() | modemPending_.exchange(0));
            }
        }
        if (hangUp)
            return EComPort(CError_ReadFailed, EIO).what();

        if (rx) {
            if (events_.Has(evRxChar))
                batch.Include(evRxChar);
            if (counters) {
                serial_icounter_struct now{};
                if (::ioctl(fd_, TIOCGICOUNT, &now) == 0) {
                    if (events_.Has(evError) &&
                        (now.frame != last.frame || now.overrun != last.overrun ||
                         now.parity != last.parity || now.buf_overrun != last.buf_overrun))
                        batch.Include(evError);
                    if (events_.Has(evBreak) && now.brk != last.brk)
                        batch.Include(evBreak);
                    last = now;
                }
            }
            if (events_.Has(evRx80Full)) {
                int queued = 0;
                if (::ioctl(fd_, FIONREAD, &queued) == 0) {
                    if (queued >= rx80Level_ && !above80)
                        batch.Include(evRx80Full);
                    above80 = queued >= rx80Level_;
                }
            }
        }
        if (txPending) {
            int outq = 0;
            if (::ioctl(fd_, TIOCOUTQ, &outq) != 0 || outq == 0) {
                txPending = false;
                batch.Include(evTxEmpty);
            }
        }
        if (!batch.Empty())
            port_.DeliverEvents(batch);
        if (stop_.load() || port_.closePending_.load())
            return {};
    }
}

} // namespace serial
