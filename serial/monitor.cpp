#include "serial/monitor.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "serial/comport.h"

namespace serial {

namespace {

enum : std::uint32_t { kDevice = 0, kStop = 1, kKick = 2 };

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

TComThread::TComThread(TCustomComPort& port)
    : port_(port), fd_(port.handle_), events_(port.events_),
      rx80Level_(port.buffer_.InputSize() * 8 / 10) {
    auto fail = [this](int err) {
        CloseFd(epollFd_);
        CloseFd(stopFd_);
        CloseFd(kickFd_);
        throw std::system_error(err, std::generic_category());
    };
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0)
        fail(errno);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    kickFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0 || kickFd_ < 0)
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
    if (events_.Has(evTxEmpty))
        port.txKickFd_.store(kickFd_, std::memory_order_release);
    try {
        thread_ = std::thread(&TComThread::Body, this);
    } catch (const std::system_error& e) {
        port.txKickFd_.store(-1);
        fail(e.code().value());
    }
}

TComThread::~TComThread() {
    Stop();
    CloseFd(epollFd_);
    CloseFd(stopFd_);
    CloseFd(kickFd_);
}

void TComThread::Stop() {
    RequestStop();
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
    // Both driver queues are emptied as the monitor ends.
    ::tcflush(fd_, TCIOFLUSH);
}

std::string TComThread::Loop() {
    serial_icounter_struct last{};
    const bool counters = (events_.Has(evError) || events_.Has(evBreak)) &&
                          ::ioctl(fd_, TIOCGICOUNT, &last) == 0;
    bool above80 = false;
    bool txPending = false;
    epoll_event ready[3];
    for (;;) {
        int timeout = -1;
        if (txPending) {
            // Output still queued in the driver: look again about when it
            // should have gone (only while there is output).
            int outq = 0;
            if (::ioctl(fd_, TIOCOUTQ, &outq) == 0 && outq > 0)
                timeout = std::clamp(outq / 2, 1, 100);
        }
        const int n = ::epoll_wait(epollFd_, ready, 3, timeout);
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
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.u32 == kDevice) {
                rx |= (ready[i].events & EPOLLIN) != 0;
                hangUp |= (ready[i].events & (EPOLLHUP | EPOLLERR)) != 0;
            } else if (ready[i].data.u32 == kKick) {
                std::uint64_t v;
                [[maybe_unused]] auto r = ::read(kickFd_, &v, sizeof v);
                txPending = true;
            }
        }
        if (hangUp)
            return EComPort(CError_ReadFailed, EIO).what();

        TComEvents batch;
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
