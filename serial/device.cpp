// The device side of TCustomComPort: open, configure, transfers, queries.

#include "serial/comport.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "serial/monitor.h"
#include "serial/ports.h"
#include "serial/portlock.h"
#include "serial/termios2.h"

namespace serial {

namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

std::int64_t NowMs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

speed_t StandardSpeed(int bps) {
    switch (bps) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return 0;
    }
}

// Poll timeout until deadline (ms, -1 for none); 0 once it has passed.
int TimeLeft(std::int64_t deadline) {
    if (deadline < 0)
        return -1;
    const std::int64_t left = deadline - NowMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
}

} // namespace

// --- open, configure, close ---------------------------------------------------

namespace {

bool IsPtySlave(dev_t rdev) {
    const unsigned maj = major(rdev);
    return (maj >= 136 && maj <= 143) || maj == 3;
}

int MakeEventFd(int& fd) {
    if (fd < 0)
        fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd < 0 ? errno : 0;
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

// What a driver answers with a speed: the kernel re-encodes it and rounds
// to its own tolerance (2 %).
bool SameSpeed(std::uint32_t asked, std::uint32_t got) {
    const std::uint32_t diff = asked > got ? asked - got : got - asked;
    return diff <= asked / 50;
}

} // namespace

bool DriverTookLineSettings(const TKernelTermios& asked, const TKernelTermios& got, bool pty) {
    std::uint32_t cflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    if (pty)
        cflags &= ~(CSIZE | PARENB | PARODD | CMSPAR);
    constexpr std::uint32_t iflags = IXON | IXOFF | INPCK | PARMRK | IGNPAR | ISTRIP;
    if ((asked.c_cflag ^ got.c_cflag) & cflags)
        return false;
    if ((asked.c_iflag ^ got.c_iflag) & iflags)
        return false;
    for (int i : {VSTART, VSTOP, VMIN, VTIME})
        if (asked.c_cc[i] != got.c_cc[i])
            return false;
    return SameSpeed(asked.c_ospeed, got.c_ospeed) && SameSpeed(asked.c_ispeed, got.c_ispeed);
}

void TCustomComPort::OpenDevice() {
    const std::string path = DevicePathOf(port_);
    handle_ = -1;
    // A name can reach a watchdog, /dev/tty or the pty multiplexer, which
    // act on being opened: only serial lines are opened at all.
    if (const int err = CheckSerialDevice(path))
        throw EComPort(CError_OpenFailed, err);
    // A terminal program holding the line keeps a lock file and nothing else.
    if (const int err = uucpLock_.Take(path))
        throw EComPort(CError_OpenFailed, err);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    handle_ = fd;
    if (fd < 0) {
        const int err = errno;
        handle_ = -1;
        uucpLock_.Release();
        throw EComPort(CError_OpenFailed, err);
    }
    auto refuse = [&](int err) {
        ::close(fd);
        handle_ = -1;
        uucpLock_.Release();
        throw EComPort(CError_OpenFailed, err);
    };
    if (!::isatty(fd))
        refuse(ENOTTY);
    // Root is not stopped by TIOCEXCL; the lock holds for everyone.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        refuse(errno);
    ::ioctl(fd, TIOCEXCL);
    // open() has just raised DTR and RTS; a clock can take a pulse for a
    // request, so drop the lines held off before anything else happens.
    int drop = 0;
    if (flowControl_.ControlDTR() == dtrDisable)
        drop |= TIOCM_DTR;
    if (flowControl_.ControlRTS() == rtsDisable || flowControl_.ControlRTS() == rtsToggle)
        drop |= TIOCM_RTS;
    if (drop)
        ::ioctl(fd, TIOCMBIC, &drop);
    int resume = resumeFd_.load();
    int err = MakeEventFd(abortFd_);
    if (err == 0)
        err = MakeEventFd(readyFd_);
    if (err == 0)
        err = MakeEventFd(resume);
    resumeFd_.store(resume);
    if (err != 0)
        refuse(err);
    struct stat st{};
    ::fstat(fd, &st);
    isPty_ = IsPtySlave(st.st_rdev);
    rs485On_ = false;
    {
        // Bytes queued from an earlier open of this very device are still
        // its input; those of another device are not.
        std::lock_guard lock(drainMutex_);
        if (static_cast<unsigned long long>(st.st_rdev) != queueDevice_)
            rxQueue_.Clear();
        queueDevice_ = st.st_rdev;
        rxFilter_.Reset();
    }
    rxOverrun_ = false;
    rxHeld_ = false;
    pulledEvents_ = 0;
    lineOps_ = LineOpsFor(fd);
    TLineCounters c;
    std::lock_guard lock(countersMutex_);
    countersKnown_ = lineOps_.counters(c) == 0;
    lastCounters_ = c;
}

void TCustomComPort::CloseDevice() {
    if (handle_ >= 0) {
        // Unsent output would otherwise hold close() for the driver's
        // closing_wait (up to 30 s); it gets a bounded moment to leave.
        if (!DrainOutput(handle_, LineSpeed()))
            ::tcflush(handle_, TCOFLUSH);
        if (rs485On_) {
            serial_rs485 off{};
            ::ioctl(handle_, TIOCSRS485, &off);
            rs485On_ = false;
        }
        ::ioctl(handle_, TIOCNXCL);
        ::close(handle_);
    }
    handle_ = -1;
    uucpLock_.Release();
}

int TCustomComPort::LineSpeed() const {
    return baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_);
}

void TCustomComPort::FillTermios(TKernelTermios& t) const {
    // Raw, as cfmakeraw makes it.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    if (flowControl_.XonXoffOut())
        t.c_iflag |= IXON;
    if (flowControl_.XonXoffIn())
        t.c_iflag |= IXOFF;
    // Errors marked in the data ("\377\0c"), so that the byte itself is kept
    // and can be replaced; a real 0xFF then comes doubled.
    if (parity_.Check())
        t.c_iflag |= INPCK | PARMRK;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL | CBAUD | CIBAUD);
    t.c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dataBits_];
    switch (parity_.Bits()) {
    case prNone: break;
    case prOdd: t.c_cflag |= PARENB | PARODD; break;
    case prEven: t.c_cflag |= PARENB; break;
    case prMark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case prSpace: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (stopBits_ != sbOneStopBit)
        t.c_cflag |= CSTOPB; // 1.5 has no termios form: 2
    if (flowControl_.OutCTSFlow() || flowControl_.ControlRTS() == rtsHandshake)
        t.c_cflag |= CRTSCTS;
    if (flowControl_.ControlDTR() != dtrDisable)
        t.c_cflag |= HUPCL;
    t.c_cc[VSTART] = flowControl_.XonChar();
    t.c_cc[VSTOP] = flowControl_.XoffChar();
    // VMIN 1 keeps "no data" (EAGAIN) apart from hang-up (0 bytes).
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // The input speed field (CIBAUD) stays 0: input at the output speed.
    // Left set from a custom speed, it would keep receiving at that speed.
    const int bps = LineSpeed();
    const speed_t code = StandardSpeed(bps);
    t.c_cflag |= code != 0 ? code : kBOTHER;
    t.c_ispeed = t.c_ospeed = static_cast<std::uint32_t>(std::max(bps, 0));
}

void TCustomComPort::ApplyLineSettings() {
    if (!ApplyAllowed())
        return;
    TKernelTermios t;
    if (const int err = GetKernelTermios(handle_, t))
        throw EComPort(CError_SetStateFailed, err);
    if (LineSpeed() <= 0)
        throw EComPort(CError_SetStateFailed, EINVAL);
    FillTermios(t);
    if (const int err = SetKernelTermios(handle_, t))
        throw EComPort(CError_SetStateFailed, err);
    TKernelTermios got;
    if (const int err = GetKernelTermios(handle_, got))
        throw EComPort(CError_SetStateFailed, err);
    // A driver changes what it cannot do (a speed, 5 data bits, mark
    // parity, CTS handshake) instead of refusing it.
    if (!DriverTookLineSettings(t, got, isPty_))
        throw EComPort(CError_SetStateFailed, EINVAL);

    const bool toggle = flowControl_.ControlRTS() == rtsToggle;
    if (toggle) {
        // RTS raised while sending is the driver's RS-485 mode; a pty has
        // no RTS at all.
        serial_rs485 rs{};
        rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        if (::ioctl(handle_, TIOCSRS485, &rs) != 0) {
            if (!isPty_)
                throw EComPort(CError_SetStateFailed, errno);
        } else {
            rs485On_ = true;
            serial_rs485 back{};
            if (::ioctl(handle_, TIOCGRS485, &back) == 0 &&
                (back.flags & (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND)) !=
                    (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND))
                throw EComPort(CError_SetStateFailed, EINVAL);
        }
    } else if (rs485On_) {
        serial_rs485 off{};
        ::ioctl(handle_, TIOCSRS485, &off);
        rs485On_ = false;
    }

    std::uint32_t bits = 0;
    if (parity_.Check())
        bits |= 1u;
    if (parity_.Check() && parity_.Replace())
        bits |= 2u | (std::uint32_t(parity_.ReplaceChar()) << 8);
    if (discardNull_)
        bits |= 4u;
    filterBits_.store(bits);
    watchChar_.store(eventChar_);
    inputFlow_.store(flowControl_.XonXoffIn() || (t.c_cflag & CRTSCTS) != 0);

    int on = 0, off = 0;
    (flowControl_.ControlDTR() == dtrDisable ? off : on) |= TIOCM_DTR;
    if (flowControl_.ControlRTS() == rtsEnable)
        on |= TIOCM_RTS;
    else if (flowControl_.ControlRTS() != rtsHandshake && !rs485On_)
        off |= TIOCM_RTS;
    if ((on && ::ioctl(handle_, TIOCMBIS, &on) != 0 && !NoSuchFacility(errno)) ||
        (off && ::ioctl(handle_, TIOCMBIC, &off) != 0 && !NoSuchFacility(errno)))
        throw EComPort(CError_SetStateFailed, errno);
}

TRxFilterConfig TCustomComPort::FilterConfig() const {
    const std::uint32_t bits = filterBits_.load();
    TRxFilterConfig c;
    c.marks = bits & 1u;
    c.replace = bits & 2u;
    c.discardNull = bits & 4u;
    c.replaceChar = static_cast<std::uint8_t>(bits >> 8);
    return c;
}

void TCustomComPort::ApplyTimeoutSettings() {
    // Each transfer reads the timeouts as it starts; nothing to hand over.
}

void TCustomComPort::ApplyBufferSizes() {
    if (!ApplyAllowed())
        return;
    // The output queue is the driver's; the input queue is our own.
    if (buffer_.InputSize() < 0 || buffer_.OutputSize() < 0)
        throw EComPort(CError_SetupComFailed, EINVAL);
    rxQueue_.SetCapacity(std::max(buffer_.InputSize(), kMinInputQueue));
}

// --- received bytes -----------------------------------------------------------

TCustomComPort::TDrainResult TCustomComPort::DrainDevice(bool monitor) {
    TDrainResult r;
    std::lock_guard lock(drainMutex_);
    const TRxFilterConfig config = FilterConfig();
    // Input flow control works only while bytes stay in the driver.
    const bool onlyWhatFits = !monitor || inputFlow_.load();
    const int watch = watchChar_.load();
    const int level = rxQueue_.Capacity() * 8 / 10;
    char buf[4096];
    for (;;) {
        int want = static_cast<int>(sizeof buf);
        if (onlyWhatFits) {
            const int room = rxQueue_.Free();
            if (room <= 0) {
                if (monitor)
                    rxHeld_ = true;
                break;
            }
            want = std::min(want, room);
        }
        const ssize_t n = ::read(handle_, buf, static_cast<std::size_t>(want));
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
        const int m = rxFilter_.Apply(buf, static_cast<int>(n), config);
        if (m > 0) {
            const TRxQueue::Appended a = rxQueue_.Append(buf, m);
            if (a.taken > 0) {
                r.events.Include(evRxChar);
                if (std::memchr(buf, watch, static_cast<std::size_t>(a.taken)))
                    r.events.Include(evRxFlag);
                if (a.before < level && a.after >= level)
                    r.events.Include(evRx80Full);
            }
            if (a.taken < m) {
                rxOverrun_ = true;
                r.events.Include(evError);
            }
            if (a.readerWaiting)
                Signal(readyFd_);
        }
        if (n < want)
            break; // drained; a later arrival wakes the monitor again
    }
    return r;
}

int TCustomComPort::Receive(char* out, int n, bool armWake) {
    int got = rxQueue_.Take(out, n, armWake);
    bool hungUp = false;
    while (got < n) {
        const TDrainResult d = DrainDevice(false);
        if (!d.events.Empty())
            pulledEvents_.fetch_or(d.events.Bits()); // announced with the monitor's next batch
        if (d.error != 0) {
            if (got == 0)
                throw EComPort(CError_ReadFailed, d.error);
            break;
        }
        hungUp = d.hungUp;
        const int t = rxQueue_.Take(out + got, n - got, armWake);
        got += t;
        if (t == 0 || hungUp)
            break;
    }
    if (rxHeld_.exchange(false))
        WakeMonitorForInput();
    if (got == 0 && hungUp)
        throw EComPort(CError_ReadFailed, EIO);
    return got;
}

void TCustomComPort::WakeMonitorForInput() { Signal(resumeFd_.load()); }


// --- transfers --------------------------------------------------------------

TComTransfer* TCustomComPort::NewTransfer() { return new TComTransfer; }

void TCustomComPort::FreeTransfer(TComTransfer*& transfer) {
    if (!transfer)
        return;
    UnregisterTransfer(transfer);
    delete transfer;
    transfer = nullptr;
}

void TCustomComPort::RegisterTransfer(TComTransfer* transfer) {
    std::lock_guard lock(transferMutex_);
    ++activeTransfers_;
    transfer->abortGeneration = abortGeneration_;
    transfer->registered = true;
}

void TCustomComPort::UnregisterTransfer(TComTransfer* transfer) {
    if (!transfer->registered)
        return;
    std::lock_guard lock(transferMutex_);
    transfer->registered = false;
    if (--activeTransfers_ == 0 && abortFd_ >= 0) {
        std::uint64_t v;
        while (::read(abortFd_, &v, sizeof v) > 0) {
        }
    }
}

void TCustomComPort::AbortTransfers() {
    if (handle_ < 0)
        throw EComPort(CError_PurgeFailed, EBADF);
    std::lock_guard lock(transferMutex_);
    if (activeTransfers_ == 0)
        return;
    ++abortGeneration_;
    const std::uint64_t one = 1;
    if (::write(abortFd_, &one, sizeof one) < 0)
        throw EComPort(CError_PurgeFailed, errno);
}

int TCustomComPort::StartWrite(const void* buffer, int count, TComTransfer* transfer) {
    if (!transfer)
        throw EComPort(CError_InvalidAsync);
    transfer->kind = xkWrite;
    transfer->writeBuffer = static_cast<const char*>(buffer);
    transfer->readBuffer = nullptr;
    transfer->count = std::max(count, 0);
    transfer->done = 0;
    transfer->started = false;
    if (count <= 0)
        return 0;
    RegisterTransfer(transfer);
    transfer->startMs = NowMs();
    transfer->started = true;
    ssize_t n;
    do {
        n = ::write(handle_, buffer, static_cast<std::size_t>(count));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN)
            return 0;
        const int err = errno;
        transfer->started = false;
        UnregisterTransfer(transfer);
        throw EComPort(CError_WriteFailed, err);
    }
    transfer->done = static_cast<int>(n);
    return transfer->done;
}

int TCustomComPort::StartWriteText(const std::string& text, TComTransfer* transfer) {
    return StartWrite(text.data(), static_cast<int>(text.size()), transfer);
}

int TCustomComPort::StartRead(void* buffer, int count, TComTransfer* transfer) {
    if (!transfer)
        throw EComPort(CError_InvalidAsync);
    transfer->kind = xkRead;
    transfer->readBuffer = static_cast<char*>(buffer);
    transfer->writeBuffer = nullptr;
    transfer->count = std::max(count, 0);
    transfer->done = 0;
    transfer->started = false;
    if (count <= 0)
        return 0;
    if (handle_ < 0)
        throw EComPort(CError_ReadFailed, EBADF);
    RegisterTransfer(transfer);
    transfer->startMs = NowMs();
    transfer->started = true;
    try {
        transfer->done = Receive(transfer->readBuffer, count, false);
    } catch (...) {
        transfer->started = false;
        UnregisterTransfer(transfer);
        throw;
    }
    return transfer->done;
}

int TCustomComPort::StartReadText(std::string& text, int count, TComTransfer* transfer) {
    if (!transfer)
        throw EComPort(CError_InvalidAsync);
    text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count <= 0) {
        transfer->started = false;
        transfer->done = 0;
        return 0;
    }
    return StartRead(text.data(), count, transfer);
}

int TCustomComPort::AwaitTransfer(TComTransfer* transfer) {
    if (!transfer)
        throw EComPort(CError_InvalidAsync);
    if (!transfer->started)
        return 0;
    TComTransfer& t = *transfer;
    const bool writing = t.kind == xkWrite;
    const int failCode = writing ? CError_WriteFailed : CError_ReadFailed;

    std::int64_t deadline = -1;     // total time limit
    std::int64_t interval = -1;     // limit between two received bytes
    bool firstBytesEnd = false;     // return as soon as anything arrived
    if (writing) {
        const std::uint64_t total =
            std::uint64_t(std::uint32_t(timeouts_.WriteTotalMultiplier())) * std::uint32_t(t.count) +
            std::uint32_t(timeouts_.WriteTotalConstant());
        if (total != 0)
            deadline = t.startMs + static_cast<std::int64_t>(total);
    } else {
        const std::uint32_t ri = timeouts_.ReadInterval();
        const std::uint32_t rtm = timeouts_.ReadTotalMultiplier();
        const std::uint32_t rtc = timeouts_.ReadTotalConstant();
        if (ri == kAllOnes && rtm == 0 && rtc == 0) {
            UnregisterTransfer(transfer);
            return t.done; // what was queued, at once
        }
        if (ri == kAllOnes && rtm == kAllOnes && rtc != 0 && rtc != kAllOnes) {
            firstBytesEnd = true;
            deadline = t.startMs + rtc;
        } else {
            const std::uint64_t total = std::uint64_t(rtm) * std::uint32_t(t.count) + rtc;
            if (total != 0)
                deadline = t.startMs + static_cast<std::int64_t>(total);
            if (ri != 0 && ri != kAllOnes)
                interval = ri;
        }
        if (firstBytesEnd && t.done > 0) {
            UnregisterTransfer(transfer);
            return t.done;
        }
    }

    std::int64_t lastByte = NowMs();
    bool watchAbort = true;
    while (t.done < t.count) {
        if (!writing) {
            // Armed: when the queue is short the monitor tells us as it
            // queues more (it may drain the device before we look).
            int n;
            try {
                n = Receive(t.readBuffer + t.done, t.count - t.done, true);
            } catch (...) {
                UnregisterTransfer(transfer);
                throw;
            }
            if (n > 0) {
                t.done += n;
                lastByte = NowMs();
                if (firstBytesEnd || t.done >= t.count)
                    break;
            }
        }
        int timeout = TimeLeft(deadline);
        if (!writing && interval >= 0 && t.done > 0) {
            const int gap = TimeLeft(lastByte + interval);
            timeout = timeout < 0 ? gap : std::min(timeout, gap);
        }
        if (timeout == 0)
            break;
        pollfd fds[3] = {{handle_, short(writing ? POLLOUT : POLLIN), 0},
                         {watchAbort ? abortFd_ : -1, POLLIN, 0},
                         {writing ? -1 : readyFd_, POLLIN, 0}};
        const int r = ::poll(fds, 3, timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            UnregisterTransfer(transfer);
            throw EComPort(failCode, err);
        }
        if (r == 0)
            break;
        if (fds[1].revents & POLLIN) {
            std::lock_guard lock(transferMutex_);
            if (abortGeneration_ != t.abortGeneration)
                break;
            watchAbort = false; // a cancel meant for an earlier transfer
        }
        if (fds[2].revents & POLLIN)
            Clear(readyFd_);
        if (!writing || !fds[0].revents)
            continue;
        const ssize_t w = ::write(handle_, t.writeBuffer + t.done, static_cast<std::size_t>(t.count - t.done));
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            const int err = errno;
            UnregisterTransfer(transfer);
            throw EComPort(failCode, err);
        }
        t.done += static_cast<int>(w);
    }
    UnregisterTransfer(transfer);
    return t.done;
}

namespace {
// Frees the record on every path out of a blocking operation.
struct TransferGuard {
    TCustomComPort& port;
    TComTransfer* transfer;
    ~TransferGuard() { port.FreeTransfer(transfer); }
};
} // namespace

int TCustomComPort::WriteText(const std::string& text) {
    if (text.empty())
        return 0;
    TransferGuard guard{*this, NewTransfer()};
    StartWriteText(text, guard.transfer);
    const int n = AwaitTransfer(guard.transfer);
    if (n > 0)
        Kick();
    return n;
}

int TCustomComPort::ReadText(std::string& text, int count) {
    if (count <= 0) {
        text.clear();
        return 0;
    }
    TransferGuard guard{*this, NewTransfer()};
    int n;
    try {
        StartReadText(text, count, guard.transfer);
        n = AwaitTransfer(guard.transfer);
    } catch (...) {
        text.clear();
        throw;
    }
    text.resize(static_cast<std::size_t>(n));
    return n;
}

int TCustomComPort::ReadBytes(void* buffer, int count) {
    if (count <= 0)
        return 0;
    TransferGuard guard{*this, NewTransfer()};
    StartRead(buffer, count, guard.transfer);
    return AwaitTransfer(guard.transfer);
}

// --- status queries -----------------------------------------------------------

int TCustomComPort::PendingInput() {
    if (handle_ < 0)
        throw EComPort(CError_ClearComFailed, EBADF);
    // What the device holds joins the queue first; a hang-up is left to the
    // read and the monitor to report.
    const TDrainResult d = DrainDevice(false);
    if (d.error != 0)
        throw EComPort(CError_ClearComFailed, d.error);
    if (!d.events.Empty())
        pulledEvents_.fetch_or(d.events.Bits());
    return rxQueue_.Size();
}

TLineSignals TCustomComPort::ModemSignals() {
    int bits = 0;
    const int err = handle_ < 0 ? EBADF : lineOps_.modemBits(bits);
    if (err != 0) {
        if (NoSuchFacility(err))
            return {}; // a pty has no modem lines: none is on
        throw EComPort(CError_ModemStatFailed, err);
    }
    TLineSignals s;
    if (bits & TIOCM_CTS) s.Include(lsCTS);
    if (bits & TIOCM_DSR) s.Include(lsDSR);
    if (bits & TIOCM_RNG) s.Include(lsRing);
    if (bits & TIOCM_CAR) s.Include(lsRLSD);
    return s;
}

TComErrors TCustomComPort::TakeLineErrors() {
    TLineCounters now;
    const int err = handle_ < 0 ? EBADF : lineOps_.counters(now);
    if (err != 0 && !NoSuchFacility(err))
        throw EComPort(CError_ClearComFailed, err);
    TComErrors errors;
    // Input that did not fit into the receive queue.
    if (rxOverrun_.exchange(false))
        errors.Include(ceRxOver);
    if (err != 0)
        return errors; // no counters (a pty): nothing else recorded
    std::lock_guard lock(countersMutex_);
    const TLineCounters was = lastCounters_;
    const bool known = countersKnown_;
    lastCounters_ = now;
    countersKnown_ = true;
    if (!known)
        return errors;
    if (now.bufOverrun != was.bufOverrun) errors.Include(ceRxOver);
    if (now.overrun != was.overrun) errors.Include(ceOverrun);
    if (now.parity != was.parity && parity_.Check()) errors.Include(ceRxParity);
    if (now.frame != was.frame) errors.Include(ceFrame);
    if (now.brk != was.brk) errors.Include(ceBreak);
    return errors;
}

} // namespace serial
