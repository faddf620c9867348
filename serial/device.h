#pragma once
// The open device of one port: the descriptor with its lock file, the line
// settings handed over as termios2, blocking transfers under the five
// timeouts, and the line queries. Used from the thread that runs the port's
// operations; only AbortTransfers and the transfer registry take a lock.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "serial/lineops.h"
#include "serial/portlock.h"
#include "serial/settings.h"
#include "serial/termios2.h"

namespace serial {

class TRxPath;

enum TTransferKind { xkWrite, xkRead };

// One blocking transfer: made by NewTransfer, released by FreeTransfer.
struct TComTransfer {
    TTransferKind kind = xkRead;
    bool started = false;
    bool registered = false;
    char* readBuffer = nullptr;
    const char* writeBuffer = nullptr;
    int count = 0;
    int done = 0;
    std::uint64_t abortGeneration = 0;
    std::int64_t startMs = 0;
};

// Whether the line settings read back (got) are those handed to the driver
// (asked): framing, handshakes, the Xon/Xoff characters and both speeds
// (within the kernel's 2 % rounding). A pty keeps 8 data bits without
// parity whatever it is given, which is no error there.
bool DriverTookLineSettings(const TKernelTermios& asked, const TKernelTermios& got, bool pty);

class TPortDevice {
public:
    TPortDevice() = default;
    ~TPortDevice();
    TPortDevice(const TPortDevice&) = delete;
    TPortDevice& operator=(const TPortDevice&) = delete;

    // Checks that path is a serial line, takes its lock file, opens it
    // exclusively and drops the modem lines in dropLines (TIOCM_*) at once.
    // Raises "Unable to open com port" with the errno.
    void Open(const std::string& path, int dropLines);
    // Gives written output a bounded moment to leave, then releases the
    // descriptor and the lock file.
    void Close(int lineSpeed);
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    unsigned long long Device() const { return device_; }
    const TLineOps& LineOps() const { return lineOps_; }

    // Reads the driver's termios2, lets fill set the line settings, hands
    // them over and reads them back; then RS-485 for rtsToggle and the DTR
    // and RTS lines. Returns what was handed over. Raises "SetCommState
    // function failed".
    TKernelTermios ApplyLine(const std::function<void(TKernelTermios&)>& fill, TDTRFlowControl dtr,
                             TRTSFlowControl rts);

    // Transfers (serial/transfer.cpp).
    int StartWrite(const void* buffer, int count, TComTransfer& t);
    int StartRead(void* buffer, int count, TComTransfer& t, TRxPath& rx);
    int AwaitTransfer(TComTransfer& t, const TComTimeouts& timeouts, TRxPath& rx);
    void Unregister(TComTransfer& t);
    void AbortTransfers();

    TLineSignals ModemSignals();
    // The driver's error counters since the last call; parityCheck lets
    // parity errors through.
    TComErrors TakeCounterErrors(bool parityCheck);

private:
    static bool Prepare(TComTransfer& t, TTransferKind kind, int count, char* read, const char* write);
    void Begin(TComTransfer& t); // registered: AbortTransfers reaches it

    int fd_ = -1;
    bool isPty_ = false;
    bool rs485On_ = false;
    unsigned long long device_ = 0;
    TUucpLock lock_;
    TLineOps lineOps_;
    TCounterWatch counters_;

    // Transfers in progress and their cancel signal.
    std::mutex transferMutex_;
    int activeTransfers_ = 0;
    std::uint64_t abortGeneration_ = 0;
    bool abortSignalled_ = false;
    int abortFd_ = -1;
};

} // namespace serial
