#include "serial/rxpath.h"

#include <algorithm>
#include <cerrno>
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

void Signal(int fd) {
    if (fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(fd, &one, sizeof one);
    }
}

void Clear(int fd) {
    std::uint64_t v;
    [[maybe_unused]] auto r = ::read(fd, &v, sizeof v);
}

} // namespace

TRxPath::~TRxPath() {
    for (int fd : {readyFd_.load(), resumeFd_.load()})
        if (fd >= 0)
            ::close(fd);
}

int TRxPath::Attach(int fd, unsigned long long device) {
    if (const int err = MakeEventFd(readyFd_))
        return err;
    if (const int err = MakeEventFd(resumeFd_))
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

void TRxPath::Configure(const TRxFilterConfig& f, std::uint8_t eventChar, bool inputFlow) {
    std::uint32_t bits = 0;
    if (f.marks)
        bits |= 1u;
    if (f.replace)
        bits |= 2u | (std::uint32_t(f.replaceChar) << 8);
    if (f.discardNull)
        bits |= 4u;
    filterBits_.store(bits);
    watchChar_.store(eventChar);
    inputFlow_.store(inputFlow);
}

TRxFilterConfig TRxPath::FilterConfig() const {
    const std::uint32_t bits = filterBits_.load();
    TRxFilterConfig c;
    c.marks = bits & 1u;
    c.replace = bits & 2u;
    c.discardNull = bits & 4u;
    c.replaceChar = static_cast<std::uint8_t>(bits >> 8);
    return c;
}

void TRxPath::Clear() {
    std::lock_guard lock(drainMutex_);
    queue_.Clear();
}

TRxPath::Drained TRxPath::DrainForMonitor() { return Drain(true); }

TComEvents TRxPath::TakeReaderEvents() { return TComEvents::FromBits(readerEvents_.exchange(0)); }

void TRxPath::ClearResume() { serial::Clear(ResumeFd()); }
void TRxPath::WakeMonitor() { Signal(ResumeFd()); }
void TRxPath::ClearReady() { serial::Clear(ReadyFd()); }

TRxPath::Drained TRxPath::Drain(bool monitor) {
    Drained r;
    std::lock_guard lock(drainMutex_);
    if (fd_ < 0)
        return r;
    const TRxFilterConfig config = FilterConfig();
    // Input flow control works only while bytes stay in the driver.
    const bool onlyWhatFits = !monitor || inputFlow_.load();
    const int watch = watchChar_.load();
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
        const int m = filter_.Apply(buf, static_cast<int>(n), config);
        if (m > 0) {
            const TRxQueue::Appended a = queue_.Append(buf, m);
            if (a.taken > 0) {
                r.events.Include(evRxChar);
                if (std::memchr(buf, watch, static_cast<std::size_t>(a.taken)))
                    r.events.Include(evRxFlag);
                if (a.before < level && a.after >= level)
                    r.events.Include(evRx80Full);
            }
            if (a.taken < m) {
                overrun_ = true;
                r.events.Include(evError);
            }
            if (a.readerWaiting)
                Signal(ReadyFd());
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

} // namespace serial
