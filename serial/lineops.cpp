#include "serial/lineops.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace serial {

namespace {
std::atomic<TLineOpsSource> lineOpsSource{nullptr};
} // namespace

bool NoSuchFacility(int err) { return err == ENOTTY || err == EINVAL; }

TLineOps DeviceLineOps(int fd) {
    TLineOps ops;
    ops.modemBits = [fd](int& bits) { return ::ioctl(fd, TIOCMGET, &bits) == 0 ? 0 : errno; };
    ops.counters = [fd](TLineCounters& c) {
        serial_icounter_struct ic{};
        if (::ioctl(fd, TIOCGICOUNT, &ic) != 0)
            return errno;
        c = {ic.cts, ic.dsr, ic.rng, ic.dcd, ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
        return 0;
    };
    ops.waitModem = [fd](int mask) { return ::ioctl(fd, TIOCMIWAIT, mask) == 0 ? 0 : errno; };
    ops.outputQueued = [fd](int& bytes) { return ::ioctl(fd, TIOCOUTQ, &bytes) == 0 ? 0 : errno; };
    return ops;
}

void SetLineOpsSource(TLineOpsSource source) { lineOpsSource.store(source); }

TLineOps LineOpsFor(int fd) {
    const TLineOpsSource source = lineOpsSource.load();
    return source ? source(fd) : DeviceLineOps(fd);
}

int TCounterWatch::Look(const TLineOps& ops, TComErrors& moved) {
    moved = {};
    TLineCounters now;
    if (const int err = ops.counters(now))
        return err;
    if (known_) {
        if (now.bufOverrun != last_.bufOverrun) moved.Include(ceRxOver);
        if (now.overrun != last_.overrun) moved.Include(ceOverrun);
        if (now.parity != last_.parity) moved.Include(ceRxParity);
        if (now.frame != last_.frame) moved.Include(ceFrame);
        if (now.brk != last_.brk) moved.Include(ceBreak);
    }
    last_ = now;
    known_ = true;
    return 0;
}

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

} // namespace serial
