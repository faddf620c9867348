#pragma once
// The frame receiver: the handler of the clock port's characters-received
// event. It reads what is waiting, runs it through ClockFrameParser, writes
// lines and page markers into the sheet, shows each frame's outcome on the
// lamp and answers the frames that ask for it.

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "parser.h"
#include "port_ops.h"
#include "printout/sheet.h"

namespace clocklink {

struct LampColor {
    std::uint8_t red, green, blue;
    friend bool operator==(const LampColor&, const LampColor&) = default;
};

inline constexpr LampColor kLampYellow{255, 255, 0}; // bytes have arrived
inline constexpr LampColor kLampLime{0, 255, 0};     // last frame checked correct
inline constexpr LampColor kLampRed{255, 0, 0};      // last frame failed its checksum

// Before an acknowledgement the receiver waits this long while the window
// keeps running.
inline constexpr int kAckDelayMs = 50;

class FrameReceiver {
public:
    using SetLamp = std::function<void(LampColor)>;
    // Waits the given milliseconds while processing window messages.
    using Delay = std::function<void(int ms)>;

    FrameReceiver(ClockPortOps& port, printout::PrintoutSheet& sheet, SetLamp setLamp, Delay delay);

    // OnRxChar of the clock port: count bytes are waiting.
    void ComPort1RxChar(int count);

    // Runs after the pause, right before an acknowledgement is written: the
    // clock forgets a line once it is acknowledged, so whatever keeps the
    // line must have it by then.
    using BeforeAck = std::function<void()>;
    void SetBeforeAck(BeforeAck hook) { beforeAck_ = std::move(hook); }

    // Window creation and every new connection: AwaitStart, pending page
    // marker cleared, no row marked unacknowledged.
    void Reset()
    {
        parser_.Reset();
        unacknowledged_.reset();
    }
    // The same line is back after it was lost: the parser starts afresh, and
    // a row whose acknowledgement was lost stays marked for the resend.
    void LineBack() { parser_.Reset(); }

    // The last line's row is in the sheet, but its acknowledgement could not
    // be written (the line hung up, the write failed): the clock will send
    // that line again. The first correct frame after it is acknowledged
    // without a second row if it is that line, and clears the mark either way.
    bool RowUnacknowledged() const { return unacknowledged_.has_value(); }

    const ClockFrameParser& Parser() const { return parser_; }

private:
    struct Unacknowledged {
        int row;     // the line's row
        bool marker; // a page marker row follows it
        std::uint8_t subCode, command;
        ByteString line;
    };

    void HandleFrame(const CompletedFrame& frame);
    bool IsResend(const CompletedFrame& frame) const;

    ClockPortOps& port_;
    printout::PrintoutSheet& sheet_;
    SetLamp setLamp_;
    Delay delay_;
    BeforeAck beforeAck_;
    ClockFrameParser parser_;
    std::optional<Unacknowledged> unacknowledged_;
};

} // namespace clocklink
