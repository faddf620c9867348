#include "serial/lineops.h"

#include <atomic>
#include <cerrno>

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

} // namespace serial
