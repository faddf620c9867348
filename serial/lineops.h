#pragma once
// The device queries behind modem lines, error counters and the output
// queue, in one place, so that a simulated line can stand in for a driver
// (a pty has no modem lines and no counters).

#include <functional>

namespace serial {

// The driver's change and error counters (TIOCGICOUNT).
struct TLineCounters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};

// Each returns 0 or an errno. waitModem must return EINTR when the modem
// watch's wake signal interrupts it.
struct TLineOps {
    std::function<int(int& bits)> modemBits;            // TIOCMGET: TIOCM_* bits
    std::function<int(TLineCounters& counters)> counters; // TIOCGICOUNT
    std::function<int(int mask)> waitModem;              // TIOCMIWAIT
    std::function<int(int& bytes)> outputQueued;         // TIOCOUTQ
};

// The ioctls themselves on a device.
TLineOps DeviceLineOps(int fd);

// Where each port takes its line operations from when it opens; nullptr
// (the default) means DeviceLineOps.
using TLineOpsSource = TLineOps (*)(int fd);
void SetLineOpsSource(TLineOpsSource source);
TLineOps LineOpsFor(int fd);

// A pty, or a driver without modem lines or counters, answers these.
bool NoSuchFacility(int err);

} // namespace serial
