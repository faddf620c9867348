#pragma once
// The device queries behind modem lines, error counters and the output
// queue, in one place, so that a simulated line can stand in for a driver
// (a pty has no modem lines and no counters); and the output drain that a
// close and the monitor's end do before a purge.

#include <functional>

#include "serial/settings.h"

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

// The driver's error counters as last looked at.
class TCounterWatch {
public:
    // Looks at the counters: 0, or the errno of the call. moved gets the
    // counters that changed since the last look that succeeded (none at the
    // first): the driver's buffer (ceRxOver), overrun, parity, frame, break.
    int Look(const TLineOps& ops, TComErrors& moved);

private:
    TLineCounters last_;
    bool known_ = false;
};

// Gives output already written a bounded time to leave the line before a
// purge: about the time its bytes take at bitsPerSecond, plus a little, and
// never longer than a line that does not drain at all deserves. Returns true
// when the driver's output queue is empty, so that a purge needs to discard
// only input (on a pty, discarding output would take the bytes from the
// other side's input as well).
bool DrainOutput(int fd, int bitsPerSecond);

// Empties both driver queues as the end of a monitor and a close do, after
// DrainOutput.
void PurgeQueues(int fd, int bitsPerSecond);

} // namespace serial
