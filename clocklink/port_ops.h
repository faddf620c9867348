#pragma once
// The clock link's only way onto the serial line: three port operations.
// The serial component's TComPort provides them on a live line; tests use
// any byte source/sink that keeps the same contracts.

#include <functional>
#include <string>

namespace clocklink {

// 8-bit text that may hold zero bytes (frames, rows, port names).
using ByteString = std::string;

class ClockPortOps {
public:
    virtual ~ClockPortOps() = default;

    // Writes all bytes, zero bytes included, in order, in one call; returns
    // when the write has ended. Failures are thrown. The count is not examined
    // by the clock link.
    virtual int WriteText(const ByteString& text) = 0;

    // Returns at once with at most count bytes that have already arrived, in
    // arrival order (possibly none). Bytes not taken stay queued.
    virtual int ReadText(ByteString& text, int count) = 0;
};

// The characters-received event: raised on the main thread, never nested
// inside another event of the same port, with the number of bytes waiting.
using RxCharHandler = std::function<void(int count)>;

// Lets any port type with matching WriteText/ReadText members serve as the
// clock link's port without knowing about this interface.
template <class Port>
class PortOpsOf final : public ClockPortOps {
public:
    explicit PortOpsOf(Port& port) : port_(port) {}
    int WriteText(const ByteString& text) override { return port_.WriteText(text); }
    int ReadText(ByteString& text, int count) override { return port_.ReadText(text, count); }

private:
    Port& port_;
};

} // namespace clocklink
