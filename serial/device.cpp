// The open device: descriptor, line settings, line queries.

#include "serial/device.h"

#include <cerrno>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "serial/errors.h"

namespace serial {

namespace {

bool IsPtySlave(dev_t rdev) {
    const unsigned maj = major(rdev);
    return (maj >= 136 && maj <= 143) || maj == 3;
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

TPortDevice::~TPortDevice() {
    if (abortFd_ >= 0)
        ::close(abortFd_);
}

void TPortDevice::Open(const std::string& path, int dropLines) {
    // A name can reach a watchdog, /dev/tty or the pty multiplexer, which
    // act on being opened: only serial lines are opened at all.
    if (const int err = CheckSerialDevice(path))
        throw EComPort(CError_OpenFailed, err);
    // A terminal program holding the line keeps a lock file and nothing else.
    if (const int err = lock_.Take(path))
        throw EComPort(CError_OpenFailed, err);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        lock_.Release();
        throw EComPort(CError_OpenFailed, err);
    }
    auto refuse = [&](int err) {
        ::close(fd);
        lock_.Release();
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
    if (dropLines)
        ::ioctl(fd, TIOCMBIC, &dropLines);
    if (abortFd_ < 0 && (abortFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0)
        refuse(errno);
    struct stat st{};
    ::fstat(fd, &st);
    fd_ = fd;
    isPty_ = IsPtySlave(st.st_rdev);
    device_ = st.st_rdev;
    rs485On_ = false;
    lineOps_ = LineOpsFor(fd);
    counters_ = {};
    TComErrors none;
    counters_.Look(lineOps_, none);
}

void TPortDevice::Close(int lineSpeed) {
    if (fd_ >= 0) {
        // Unsent output would otherwise hold close() for the driver's
        // closing_wait (up to 30 s); it gets a bounded moment to leave.
        if (!DrainOutput(fd_, lineSpeed))
            ::tcflush(fd_, TCOFLUSH);
        if (rs485On_) {
            serial_rs485 off{};
            ::ioctl(fd_, TIOCSRS485, &off);
            rs485On_ = false;
        }
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    fd_ = -1;
    lock_.Release();
}

TKernelTermios TPortDevice::ApplyLine(const std::function<void(TKernelTermios&)>& fill,
                                      TDTRFlowControl dtr, TRTSFlowControl rts) {
    TKernelTermios t;
    if (const int err = GetKernelTermios(fd_, t))
        throw EComPort(CError_SetStateFailed, err);
    fill(t);
    if (const int err = SetKernelTermios(fd_, t))
        throw EComPort(CError_SetStateFailed, err);
    TKernelTermios got;
    if (const int err = GetKernelTermios(fd_, got))
        throw EComPort(CError_SetStateFailed, err);
    // A driver changes what it cannot do (a speed, 5 data bits, mark
    // parity, CTS handshake) instead of refusing it.
    if (!DriverTookLineSettings(t, got, isPty_))
        throw EComPort(CError_SetStateFailed, EINVAL);

    if (rts == rtsToggle) {
        // RTS raised while sending is the driver's RS-485 mode; a pty has
        // no RTS at all.
        serial_rs485 rs{};
        rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        if (::ioctl(fd_, TIOCSRS485, &rs) != 0) {
            if (!isPty_)
                throw EComPort(CError_SetStateFailed, errno);
        } else {
            rs485On_ = true;
            serial_rs485 back{};
            if (::ioctl(fd_, TIOCGRS485, &back) == 0 &&
                (back.flags & (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND)) !=
                    (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND))
                throw EComPort(CError_SetStateFailed, EINVAL);
        }
    } else if (rs485On_) {
        serial_rs485 off{};
        ::ioctl(fd_, TIOCSRS485, &off);
        rs485On_ = false;
    }

    int on = 0, off = 0;
    (dtr == dtrDisable ? off : on) |= TIOCM_DTR;
    if (rts == rtsEnable)
        on |= TIOCM_RTS;
    else if (rts != rtsHandshake && !rs485On_)
        off |= TIOCM_RTS;
    if ((on && ::ioctl(fd_, TIOCMBIS, &on) != 0 && !NoSuchFacility(errno)) ||
        (off && ::ioctl(fd_, TIOCMBIC, &off) != 0 && !NoSuchFacility(errno)))
        throw EComPort(CError_SetStateFailed, errno);
    return t;
}

TLineSignals TPortDevice::ModemSignals() {
    int bits = 0;
    const int err = fd_ < 0 ? EBADF : lineOps_.modemBits(bits);
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

TComErrors TPortDevice::TakeCounterErrors(bool parityCheck) {
    TComErrors errors;
    const int err = fd_ < 0 ? EBADF : counters_.Look(lineOps_, errors);
    // No counters (a pty): nothing recorded.
    if (err != 0 && !NoSuchFacility(err))
        throw EComPort(CError_ClearComFailed, err);
    if (!parityCheck)
        errors.Exclude(ceRxParity);
    return errors;
}

} // namespace serial
