#include "serial/rxpath.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <sys/eventfd.h>
#include <unistd.h>

#include "serial/errors.h"

namespace serial {

namespace {

int MakeEventFd(std::atomic<int>& fd) {
    if (fd.load() >= 0)
        return 0;
    const int made = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (made < 0)
        return errno;
    fd.store(made, std::memory_order_release);
    return 0;
}

} // namespace

void SignalEventFd(int fd) {
    if (fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(fd, &one, sizeof one);
    }
}

void ClearEventFd(int fd) {
    std::uint64_t v;
    [[maybe_unused]] auto r = ::read(fd, &v, sizeof v);
}

TRxPath::~TRxPath() {
    for (int fd : {readyFd_.load(), resumeFd_.load()})
        if (fd >= 0)
            ::close(fd);
}

int TRxPath::Attach(int fd, unsigned long long device) {
    for (std::atomic<int>* wake : {&readyFd_, &resumeFd_})
        if (const int err = MakeEventFd(*wake))
            return err;
    {
        std::lock_guard lock(drainMutex_);
        if (device != device_)
            queue_.Clear();
        device_ = device;
        fd_ = fd;
        filter_.Reset();
    }
    overrun_ = false;
    held_ = false;
    readerEvents_ = 0;
    return 0;
}

void TRxPath::Detach() {
    std::lock_guard lock(drainMutex_);
    fd_ = -1;
}

void TRxPath::Configure(const TRxFilterConfig& filter, std::uint8_t eventChar, bool inputFlow) {
    std::lock_guard lock(drainMutex_);
    config_ = filter;
    eventChar_ = eventChar;
    inputFlow_ = inputFlow;
}

void TRxPath::Clear() {
    std::lock_guard lock(drainMutex_);
    queue_.Clear();
}

TRxPath::Drained TRxPath::Drain(bool monitor) {
    Drained r;
    std::lock_guard lock(drainMutex_);
    if (fd_ < 0)
        return r;
    // Input flow control works only while bytes stay in the driver.
    const bool onlyWhatFits = !monitor || inputFlow_;
    const int level = queue_.Capacity() * 8 / 10;
    char buf[4096];
    for (;;) {
        int want = static_cast<int>(sizeof buf);
        if (onlyWhatFits) {
            const int room = queue_.Free();
            if (room <= 0) {
                if (monitor)
                    held_ = true;
                break;
            }
            want = std::min(want, room);
        }
        const ssize_t n = ::read(fd_, buf, static_cast<std::size_t>(want));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EIO)
                r.hungUp = true;
            else if (errno != EAGAIN)
                r.error = errno;
            break;
        }
        if (n == 0) { // with VMIN 1: the line hung up
            r.hungUp = true;
            break;
        }
        const int m = filter_.Apply(buf, static_cast<int>(n), config_);
        if (m > 0) {
            const TRxQueue::Appended a = queue_.Append(buf, m);
            if (a.taken > 0) {
                r.events.Include(evRxChar);
                if (std::memchr(buf, eventChar_, static_cast<std::size_t>(a.taken)))
                    r.events.Include(evRxFlag);
                if (a.before < level && a.after >= level)
                    r.events.Include(evRx80Full);
            }
            if (a.taken < m) {
                overrun_ = true;
                r.events.Include(evError);
            }
            if (a.readerWaiting)
                SignalEventFd(ReadyFd());
        }
        if (n < want)
            break; // drained; a later arrival wakes the monitor again
    }
    return r;
}

int TRxPath::Receive(char* out, int n, bool armWake) {
    int got = queue_.Take(out, n, armWake);
    bool hungUp = false;
    while (got < n) {
        const Drained d = Drain(false);
        readerEvents_.fetch_or(d.events.Bits()); // announced with the monitor's next batch
        if (d.error != 0) {
            if (got == 0)
                throw EComPort(CError_ReadFailed, d.error);
            break;
        }
        hungUp = d.hungUp;
        const int t = queue_.Take(out + got, n - got, armWake);
        got += t;
        if (t == 0 || hungUp)
            break;
    }
    if (held_.exchange(false))
        WakeMonitor();
    if (got == 0 && hungUp)
        throw EComPort(CError_ReadFailed, EIO);
    return got;
}

int TRxPath::Pending() {
    // What the device holds joins the queue first; a hang-up is left to the
    // read and the monitor to report.
    const Drained d = Drain(false);
    if (d.error != 0)
        throw EComPort(CError_ClearComFailed, d.error);
    readerEvents_.fetch_or(d.events.Bits());
    return queue_.Size();
}

// --- the filter and the queue ------------------------------------------------

int TRxFilter::Apply(char* data, int n, const TRxFilterConfig& c) {
    int out = 0;
    auto put = [&](char b, bool replaced) {
        if (c.discardNull && b == 0 && !replaced)
            return;
        data[out++] = b;
    };
    if (!c.marks) {
        carry_ = 0;
        if (!c.discardNull)
            return n;
        for (int i = 0; i < n; ++i)
            put(data[i], false);
        return out;
    }
    for (int i = 0; i < n; ++i) {
        const char b = data[i];
        if (carry_ == 0) {
            if (b == '\377')
                carry_ = 1;
            else
                put(b, false);
        } else if (carry_ == 1) {
            if (b == '\377') {
                carry_ = 0;
                put(b, false);
            } else if (b == 0) {
                carry_ = 2;
            } else {
                // Not a mark after all (the kernel never sends this): keep both.
                carry_ = 0;
                put('\377', false);
                put(b, false);
            }
        } else {
            carry_ = 0;
            if (c.replace)
                put(static_cast<char>(c.replaceChar), true);
            else
                put(b, false);
        }
    }
    return out;
}

void TRxQueue::SetCapacity(int capacity) {
    std::lock_guard lock(mutex_);
    capacity_ = std::max(capacity, 0);
}

int TRxQueue::Capacity() const {
    std::lock_guard lock(mutex_);
    return capacity_;
}

TRxQueue::Appended TRxQueue::Append(const char* data, int n) {
    std::lock_guard lock(mutex_);
    Appended a;
    a.before = static_cast<int>(bytes_.size());
    a.taken = std::clamp(capacity_ - a.before, 0, std::max(n, 0));
    bytes_.insert(bytes_.end(), data, data + a.taken);
    a.after = a.before + a.taken;
    if (a.taken > 0 && readerWaiting_) {
        a.readerWaiting = true;
        readerWaiting_ = false;
    }
    return a;
}

int TRxQueue::Take(char* out, int n, bool arm) {
    std::lock_guard lock(mutex_);
    const std::size_t want = static_cast<std::size_t>(std::max(n, 0));
    const std::size_t got = std::min(want, bytes_.size());
    std::copy_n(bytes_.begin(), got, out);
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(got));
    if (arm && got < want)
        readerWaiting_ = true;
    return static_cast<int>(got);
}

int TRxQueue::Size() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(bytes_.size());
}

int TRxQueue::Free() const {
    std::lock_guard lock(mutex_);
    return std::max(0, capacity_ - static_cast<int>(bytes_.size()));
}

void TRxQueue::Clear() {
    std::lock_guard lock(mutex_);
    bytes_.clear();
}

} // namespace serial
