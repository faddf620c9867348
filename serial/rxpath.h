#pragma once
// The receive path of one port: what the device delivers runs through the
// filter into the port's queue. The monitor and the readers both move bytes
// from the device into the queue through it, one thread at a time; each
// side has its own calls below, and every field is guarded by a lock or an
// atomic of this class.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "serial/rxqueue.h"
#include "serial/settings.h"

namespace serial {

class TRxPath {
public:
    TRxPath() = default;
    ~TRxPath();
    TRxPath(const TRxPath&) = delete;
    TRxPath& operator=(const TRxPath&) = delete;

    // --- the port (main thread, no monitor running) --------------------------
    // Takes the device of a new open. Bytes queued from an earlier open of
    // this very device are still its input; those of another are not.
    // Returns 0 or the errno of a wake-up descriptor that cannot be made.
    int Attach(int fd, unsigned long long device);
    void Detach();
    // What the line settings give the path.
    void Configure(const TRxFilterConfig& filter, std::uint8_t eventChar, bool inputFlow);
    void SetCapacity(int bytes) { queue_.SetCapacity(bytes); }
    int Capacity() const { return queue_.Capacity(); }

    struct Drained {
        TComEvents events; // evRxChar, evRxFlag, evRx80Full, evError (queue overrun)
        bool hungUp = false;
        int error = 0;     // errno of a failed read other than a hang-up
    };

    // --- the monitor ------------------------------------------------------
    // Takes everything the device holds and drops what does not fit, unless
    // input flow control is on (then the driver keeps it and holds the peer).
    Drained DrainForMonitor();
    // Events of bytes that readers took from the device themselves.
    TComEvents TakeReaderEvents();
    // Signalled when a read has made room for bytes the monitor left behind,
    // or when the monitor is to look again at once.
    int ResumeFd() const { return resumeFd_.load(std::memory_order_acquire); }
    void ClearResume();
    void WakeMonitor();
    // Empties the queue (the monitor's end after a close).
    void Clear();

    // --- the readers --------------------------------------------------------
    // Up to n bytes: first from the queue, then from the device. Raises
    // "ReadFile function failed" on a hang-up when no byte was left. With
    // armWake, a reader that found too few is woken through ReadyFd when the
    // monitor queues more.
    int Receive(char* out, int n, bool armWake);
    // Bytes waiting, after taking in what the device holds.
    int Pending();
    int ReadyFd() const { return readyFd_.load(std::memory_order_acquire); }
    void ClearReady();
    // ceRxOver since the last call.
    bool TakeOverrun() { return overrun_.exchange(false); }

private:
    Drained Drain(bool monitor);
    TRxFilterConfig FilterConfig() const;

    TRxQueue queue_;                         // its own lock
    std::mutex drainMutex_;                  // one thread reads the device
    int fd_ = -1;                            // under drainMutex_
    unsigned long long device_ = 0;          // under drainMutex_
    TRxFilter filter_;                       // under drainMutex_
    std::atomic<std::uint32_t> filterBits_{0};
    std::atomic<int> watchChar_{0};
    std::atomic<bool> inputFlow_{false};
    std::atomic<std::uint32_t> readerEvents_{0};
    std::atomic<bool> overrun_{false};
    std::atomic<bool> held_{false};          // the monitor left bytes in the device
    std::atomic<int> readyFd_{-1};
    std::atomic<int> resumeFd_{-1};
};

} // namespace serial
