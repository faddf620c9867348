#pragma once
// ClockFrameParser: the receive state machine, one byte at a time. It does
// nothing itself; a completed frame is handed back for the receiver to act on.

#include <cstdint>

#include "port_ops.h"

namespace clocklink {

enum class ParserState : std::uint8_t {
    AwaitStart,
    AwaitSubCode,
    AwaitCommand,
    AwaitLength,
    InPayload,
    AwaitChecksum,
};

// What a completed frame asks of the receiver, in the order it must happen.
struct CompletedFrame {
    bool checksumOk = false;
    bool appendLine = false;       // a correct line frame ("l" + "P"/"Q")
    bool appendPageMarker = false; // a form feed is pending after that line
    bool acknowledge = false;      // a correct "P" frame with sub-code "U" or "T"
    std::uint8_t startByte = 0;
    std::uint8_t subCode = 0;
    std::uint8_t command = 0;
    ByteString line;               // kept payload bytes (no controls, no "@")
};

class ClockFrameParser {
public:
    // Returns true when b completed a frame; Last() then describes it. By
    // then the parser is already back at AwaitStart with an empty buffer, so
    // whatever the receiver does with the frame cannot leave it mid-frame.
    bool Feed(std::uint8_t b);

    const CompletedFrame& Last() const { return last_; }

    // Window creation: AwaitStart, no pending page marker.
    void Reset();

    ParserState State() const { return state_; }
    bool PageMarkerPending() const { return pageMarkerPending_; }
    const ByteString& LineBuffer() const { return line_; }

private:
    bool Complete(std::uint8_t checksumByte);

    ParserState state_ = ParserState::AwaitStart;
    std::uint8_t start_ = 0;
    std::uint8_t subCode_ = 0;
    std::uint8_t command_ = 0;
    unsigned remaining_ = 0;
    unsigned sum_ = 0;
    ByteString line_;
    bool pageMarkerPending_ = false;
    CompletedFrame last_;
};

} // namespace clocklink
