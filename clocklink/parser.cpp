#include "parser.h"

#include "frame.h"

namespace clocklink {

void ClockFrameParser::Reset()
{
    state_ = ParserState::AwaitStart;
    sum_ = 0;
    line_.clear();
    pageMarkerPending_ = false;
}

bool ClockFrameParser::Feed(std::uint8_t b)
{
    switch (state_) {
    case ParserState::AwaitStart:
        sum_ = 0;
        line_.clear();
        if (b == kRequestStart || b == kAnswerStart) {
            start_ = b;
            sum_ = b;
            state_ = ParserState::AwaitSubCode;
        }
        return false;
    case ParserState::AwaitSubCode:
        subCode_ = b;
        sum_ += b;
        state_ = ParserState::AwaitCommand;
        return false;
    case ParserState::AwaitCommand:
        command_ = b;
        sum_ += b;
        state_ = ParserState::AwaitLength;
        return false;
    case ParserState::AwaitLength:
        remaining_ = b;
        sum_ += b;
        state_ = b == 0 ? ParserState::AwaitChecksum : ParserState::InPayload;
        return false;
    case ParserState::InPayload:
        if (b >= 0x20 && b != kDroppedAt)
            line_.push_back(static_cast<char>(b));
        sum_ += b;
        // Set at once, before the checksum is known: a bad frame leaves it set.
        if (b == kFormFeed && start_ == kRequestStart &&
            (command_ == kCommandLine || command_ == kCommandQuiet))
            pageMarkerPending_ = true;
        if (--remaining_ == 0)
            state_ = ParserState::AwaitChecksum;
        return false;
    case ParserState::AwaitChecksum:
        return Complete(b);
    }
    return false;
}

bool ClockFrameParser::Complete(std::uint8_t checksumByte)
{
    CompletedFrame& f = last_;
    f.checksumOk = checksumByte == (sum_ & 0xFFu);
    f.startByte = start_;
    f.subCode = subCode_;
    f.command = command_;
    const bool lineFrame = start_ == kRequestStart && (command_ == kCommandLine || command_ == kCommandQuiet);
    f.appendLine = f.checksumOk && lineFrame;
    f.appendPageMarker = f.appendLine && pageMarkerPending_;
    if (f.appendPageMarker)
        pageMarkerPending_ = false;
    f.acknowledge = f.checksumOk && command_ == kCommandLine && (subCode_ == kSubCodeU || subCode_ == kSubCodeT);
    // Hand the text over and keep both buffers' capacity for the next frames.
    f.line.swap(line_);
    line_.clear();
    sum_ = 0;
    state_ = ParserState::AwaitStart;
    return true;
}

} // namespace clocklink
