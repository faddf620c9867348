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
#include <termios.h>
#include <unistd.h>

#include "serial/monitor.h"
#include "serial/ports.h"
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

// A pty, or a driver without modem lines or counters, answers these.
bool NoSuchFacility(int err) { return err == ENOTTY || err == EINVAL; }

// Poll timeout until deadline (ms, -1 for none); 0 once it has passed.
int TimeLeft(std::int64_t deadline) {
    if (deadline < 0)
        return -1;
    const std::int64_t left = deadline - NowMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
}

} // namespace

// --- open, configure, close ---------------------------------------------------

void TCustomComPort::OpenDevice() {
    const std::string path = DevicePathOf(port_);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    handle_ = fd;
    if (fd < 0) {
        const int err = errno;
        handle_ = -1;
        throw EComPort(CError_OpenFailed, err);
    }
    auto refuse = [&](int err) {
        ::close(fd);
        handle_ = -1;
        throw EComPort(CError_OpenFailed, err);
    };
    // A typed name can reach a plain file; nothing is written to it.
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
    if (abortFd_ < 0) {
        abortFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (abortFd_ < 0)
            refuse(errno);
    }
    serial_icounter_struct ic{};
    std::lock_guard lock(countersMutex_);
    countersKnown_ = ::ioctl(fd, TIOCGICOUNT, &ic) == 0;
    lastCounters_ = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
}

void TCustomComPort::CloseDevice() {
    if (handle_ >= 0) {
        // Unsent output would otherwise hold close() for the driver's
        // closing_wait (up to 30 s); it gets a bounded moment to leave.
        if (!DrainOutput(handle_, LineSpeed()))
            ::tcflush(handle_, TCOFLUSH);
        ::ioctl(handle_, TIOCNXCL);
        ::close(handle_);
    }
    handle_ = -1;
}

int TCustomComPort::LineSpeed() const {
    return baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_);
}

void TCustomComPort::FillTermios(termios& t) const {
    ::cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | IGNBRK | BRKINT | ISTRIP |
                   INLCR | IGNCR | ICRNL);
    if (flowControl_.XonXoffOut())
        t.c_iflag |= IXON;
    if (flowControl_.XonXoffIn())
        t.c_iflag |= IXOFF;
    if (parity_.Check())
        t.c_iflag |= INPCK;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
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
    const speed_t code = StandardSpeed(LineSpeed());
    if (code != 0) {
        ::cfsetispeed(&t, code);
        ::cfsetospeed(&t, code);
    }
}

void TCustomComPort::ApplyLineSettings() {
    if (!ApplyAllowed())
        return;
    termios t;
    if (::tcgetattr(handle_, &t) != 0)
        throw EComPort(CError_SetStateFailed, errno);
    const int bps = LineSpeed();
    if (bps <= 0)
        throw EComPort(CError_SetStateFailed, EINVAL);
    FillTermios(t);
    // TCSETS itself, not tcsetattr: glibc reads the result back and calls
    // it a failure when the driver keeps its own framing (a pty is always
    // 8 bits without parity); what the driver refuses still fails here.
    if (::ioctl(handle_, TCSETS, &t) != 0)
        throw EComPort(CError_SetStateFailed, errno);
    if (StandardSpeed(bps) == 0) {
        if (const int err = SetArbitrarySpeed(handle_, static_cast<unsigned>(bps)))
            throw EComPort(CError_SetStateFailed, err);
    }
    int on = 0, off = 0;
    (flowControl_.ControlDTR() == dtrDisable ? off : on) |= TIOCM_DTR;
    if (flowControl_.ControlRTS() == rtsEnable)
        on |= TIOCM_RTS;
    else if (flowControl_.ControlRTS() != rtsHandshake)
        off |= TIOCM_RTS;
    if ((on && ::ioctl(handle_, TIOCMBIS, &on) != 0 && !NoSuchFacility(errno)) ||
        (off && ::ioctl(handle_, TIOCMBIC, &off) != 0 && !NoSuchFacility(errno)))
        throw EComPort(CError_SetStateFailed, errno);
}

void TCustomComPort::ApplyTimeoutSettings() {
    // Each transfer reads the timeouts as it starts; nothing to hand over.
}

void TCustomComPort::ApplyBufferSizes() {
    if (!ApplyAllowed())
        return;
    // Linux has no call for queue sizes; refuse only what no queue can be.
    if (buffer_.InputSize() < 0 || buffer_.OutputSize() < 0)
        throw EComPort(CError_SetupComFailed, EINVAL);
}

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
    const ssize_t n = ::write(handle_, buffer, count);
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
    RegisterTransfer(transfer);
    transfer->startMs = NowMs();
    transfer->started = true;
    const ssize_t n = ::read(handle_, buffer, count);
    if (n <= 0) {
        if (n < 0 && errno == EAGAIN)
            return 0;
        // With VMIN 1 a read of 0 bytes means the line hung up.
        const int err = n == 0 ? EIO : errno;
        transfer->started = false;
        UnregisterTransfer(transfer);
        throw EComPort(CError_ReadFailed, err);
    }
    transfer->done = static_cast<int>(n);
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
        int timeout = TimeLeft(deadline);
        if (!writing && interval >= 0 && t.done > 0) {
            const int gap = TimeLeft(lastByte + interval);
            timeout = timeout < 0 ? gap : std::min(timeout, gap);
        }
        if (timeout == 0)
            break;
        pollfd fds[2] = {{handle_, short(writing ? POLLOUT : POLLIN), 0},
                         {watchAbort ? abortFd_ : -1, POLLIN, 0}};
        const int r = ::poll(fds, 2, timeout);
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
        if (!fds[0].revents)
            continue;
        const ssize_t n = writing ? ::write(handle_, t.writeBuffer + t.done, t.count - t.done)
                                  : ::read(handle_, t.readBuffer + t.done, t.count - t.done);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            const int err = errno;
            UnregisterTransfer(transfer);
            throw EComPort(failCode, err);
        }
        if (n == 0 && !writing) {
            UnregisterTransfer(transfer);
            throw EComPort(failCode, EIO);
        }
        t.done += static_cast<int>(n);
        lastByte = NowMs();
        if (firstBytesEnd)
            break;
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

int DropNulls(char* data, int n) {
    return static_cast<int>(std::remove(data, data + n, '\0') - data);
}
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
    if (discardNull_)
        n = DropNulls(text.data(), n);
    text.resize(static_cast<std::size_t>(n));
    return n;
}

int TCustomComPort::ReadBytes(void* buffer, int count) {
    if (count <= 0)
        return 0;
    TransferGuard guard{*this, NewTransfer()};
    StartRead(buffer, count, guard.transfer);
    int n = AwaitTransfer(guard.transfer);
    if (discardNull_)
        n = DropNulls(static_cast<char*>(buffer), n);
    return n;
}

// --- status queries -----------------------------------------------------------

int TCustomComPort::PendingInput() {
    int count = 0;
    if (::ioctl(handle_, FIONREAD, &count) != 0)
        throw EComPort(CError_ClearComFailed, errno);
    return count;
}

TLineSignals TCustomComPort::ModemSignals() {
    int bits = 0;
    if (::ioctl(handle_, TIOCMGET, &bits) != 0) {
        if (handle_ >= 0 && NoSuchFacility(errno))
            return {}; // a pty has no modem lines: none is on
        throw EComPort(CError_ModemStatFailed, errno);
    }
    TLineSignals s;
    if (bits & TIOCM_CTS) s.Include(lsCTS);
    if (bits & TIOCM_DSR) s.Include(lsDSR);
    if (bits & TIOCM_RNG) s.Include(lsRing);
    if (bits & TIOCM_CAR) s.Include(lsRLSD);
    return s;
}

TComErrors TCustomComPort::TakeLineErrors() {
    serial_icounter_struct ic{};
    if (::ioctl(handle_, TIOCGICOUNT, &ic) != 0) {
        if (handle_ >= 0 && NoSuchFacility(errno))
            return {}; // no counters (a pty): nothing recorded
        throw EComPort(CError_ClearComFailed, errno);
    }
    std::lock_guard lock(countersMutex_);
    const Counters now{ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    const Counters was = lastCounters_;
    const bool known = countersKnown_;
    lastCounters_ = now;
    countersKnown_ = true;
    TComErrors errors;
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
