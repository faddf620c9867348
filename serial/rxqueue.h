#pragma once
// The port's own receive queue (InputSize bytes) and the filter that turns
// what the device delivers into queued bytes: parity marks resolved, zero
// bytes dropped, the event character spotted.

#include <cstdint>
#include <mutex>
#include <vector>

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

// A byte ring with a capacity. Append and Take hold the lock only to copy.
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
    std::vector<char> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    int capacity_ = 1024;
    bool readerWaiting_ = false;
};

} // namespace serial
