#pragma once
// The receive path of one port: what the device delivers runs through the
// filter into the port's own receive queue (InputSize bytes): parity marks
// resolved, zero bytes dropped, the event character spotted.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "serial/settings.h"

namespace serial {

struct TRxFilterConfig {
    bool marks = false;        // PARMRK is on: "\377\0c" is an error byte c, "\377\377" a 0xFF
    bool replace = false;      // an error byte becomes replaceChar
    std::uint8_t replaceChar = 0;
    bool discardNull = false;  // received zero bytes are dropped (not a replacement)
};

class TRxFilter {
public:
    // Rewrites data[0..n) in place (the result is never longer) and returns
    // the new length. A mark split across calls is carried over.
    int Apply(char* data, int n, const TRxFilterConfig& config);
    // Forgets a half-received mark.
    void Reset() { carry_ = 0; }

private:
    int carry_ = 0; // 1: "\377" seen, 2: "\377\0" seen
};

// Bytes in arrival order, up to a capacity. Append and Take hold the lock
// only to copy.
class TRxQueue {
public:
    // Bytes beyond the capacity are not taken; existing bytes are kept when
    // the capacity shrinks.
    void SetCapacity(int capacity);
    int Capacity() const;

    struct Appended {
        int taken = 0;
        int before = 0; // size before the append
        int after = 0;
        bool readerWaiting = false; // a reader asked to be woken (cleared)
    };
    Appended Append(const char* data, int n);

    // Copies up to n bytes out. When it found fewer than n and arm is set,
    // the next Append reports readerWaiting.
    int Take(char* out, int n, bool arm = false);
    int Size() const;
    int Free() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::deque<char> bytes_;
    int capacity_ = 1024;
    bool readerWaiting_ = false;
};

// A wake-up through an eventfd (none for -1), and its end.
void SignalEventFd(int fd);
void ClearEventFd(int fd);

// The monitor and the readers both move bytes from the device into the
// queue through the path, one thread at a time; each side has its own calls
// below, and every field is guarded by a lock or an atomic of this class.
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

    struct Drained {
        TComEvents events; // evRxChar, evRxFlag, evRx80Full, evError (queue overrun)
        bool hungUp = false;
        int error = 0;     // errno of a failed read other than a hang-up
    };

    // --- the monitor ------------------------------------------------------
    // Takes everything the device holds and drops what does not fit, unless
    // input flow control is on (then the driver keeps it and holds the peer).
    Drained DrainForMonitor() { return Drain(true); }
    // Events of bytes that readers took from the device themselves.
    TComEvents TakeReaderEvents() { return TComEvents::FromBits(readerEvents_.exchange(0)); }
    // Signalled when a read has made room for bytes the monitor left behind,
    // or when the monitor is to look again at once.
    int ResumeFd() const { return resumeFd_.load(std::memory_order_acquire); }
    void ClearResume() { ClearEventFd(ResumeFd()); }
    void WakeMonitor() { SignalEventFd(ResumeFd()); }
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
    void ClearReady() { ClearEventFd(ReadyFd()); }
    // ceRxOver since the last call.
    bool TakeOverrun() { return overrun_.exchange(false); }

private:
    Drained Drain(bool monitor);

    TRxQueue queue_;                         // its own lock
    std::mutex drainMutex_;                  // one thread reads the device
    int fd_ = -1;                            // under drainMutex_
    unsigned long long device_ = 0;          // under drainMutex_
    TRxFilter filter_;                       // under drainMutex_, as the three below
    TRxFilterConfig config_;
    std::uint8_t eventChar_ = 0;
    bool inputFlow_ = false;
    std::atomic<std::uint32_t> readerEvents_{0};
    std::atomic<bool> overrun_{false};
    std::atomic<bool> held_{false};          // the monitor left bytes in the device
    std::atomic<int> readyFd_{-1};
    std::atomic<int> resumeFd_{-1};
};

} // namespace serial
