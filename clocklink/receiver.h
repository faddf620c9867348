#pragma once
// The frame receiver: the handler of the clock port's characters-received
// event. It reads what is waiting, runs it through ClockFrameParser, writes
// lines and page markers into the sheet, shows each frame's outcome on the
// lamp and answers the frames that ask for it.
//
// An answer is due 50 ms after its frame. The handler only records it and
// returns; a callback scheduled by the caller writes it, once the line is
// kept (BeforeAck), in the order the frames came.

#include <chrono>
#include <cstdint>
#include <deque>
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

// An acknowledgement is written this long after its frame.
inline constexpr int kAckDelayMs = 50;
// While it is due but its line not yet kept, the receiver looks again this
// often.
inline constexpr int kAckLookMs = 2;

class FrameReceiver {
public:
    using SetLamp = std::function<void(LampColor)>;
    // Runs callback ms milliseconds from now, from the caller's loop.
    using Schedule = std::function<void(int ms, std::function<void()> callback)>;
    // Waits the given milliseconds; the acknowledgement is written inside
    // the handler after it (callers without a loop of their own).
    using Delay = std::function<void(int ms)>;

    FrameReceiver(ClockPortOps& port, printout::PrintoutSheet& sheet, SetLamp setLamp, Schedule schedule);
    FrameReceiver(ClockPortOps& port, printout::PrintoutSheet& sheet, SetLamp setLamp, Delay delay);

    // OnRxChar of the clock port: count bytes are waiting.
    void ComPort1RxChar(int count);

    // The clock forgets a line once it is acknowledged, so whatever keeps
    // the line must have it first. Asked as a frame's acknowledgement is
    // recorded, the hook gives a check that holds once the line is kept; the
    // acknowledgement waits for it at most waitMs past its pause.
    using BeforeAck = std::function<std::function<bool()>()>;
    void SetBeforeAck(BeforeAck hook, int waitMs)
    {
        beforeAck_ = std::move(hook);
        keptWait_ = std::chrono::milliseconds(waitMs);
    }

    // Called inside the catch of a failed acknowledgement written outside
    // the frame's handler; later ones still go. Without it the failure is
    // thrown to the caller.
    using AckFailed = std::function<void()>;
    void SetAckFailed(AckFailed hook) { ackFailed_ = std::move(hook); }

    // An acknowledgement is recorded and not yet written.
    bool AckDue() const { return !pending_.empty(); }
    // Writes those that are due and whose line is kept (the keeper calls it
    // when its rows are settled).
    void SendAcksThatMayGo();
    // Before the port closes: writes every acknowledgement still due, in
    // order, after waiting out the rest of its pause, and for its line, with
    // wait (the caller's loop runs meanwhile).
    using Wait = std::function<void(int ms, const std::function<bool()>& done)>;
    void SendDueAcks(const Wait& wait);
    // The port is gone: the acknowledgements due are dropped, the last line
    // among them is marked unacknowledged.
    void DropDueAcks();

    // Window creation and every new connection: AwaitStart, pending page
    // marker cleared, no row marked unacknowledged.
    // Acknowledgements still due belong to the line before: dropped.
    void Reset()
    {
        parser_.Reset();
        unacknowledged_.reset();
        pending_.clear();
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

    using Clock = std::chrono::steady_clock;
    struct PendingAck {
        std::uint64_t id;
        ByteString body; // computed with the frame
        Clock::time_point due;
        bool pauseOver;
        std::function<bool()> kept;
        std::optional<Unacknowledged> row; // the line's, to mark if it fails
    };

    void HandleFrame(const CompletedFrame& frame);
    bool IsResend(const CompletedFrame& frame) const;
    void PauseOver(std::uint64_t id);
    bool MayGo(const PendingAck& ack) const;
    void Send(PendingAck ack);

    ClockPortOps& port_;
    printout::PrintoutSheet& sheet_;
    SetLamp setLamp_;
    Schedule schedule_;
    BeforeAck beforeAck_;
    Clock::duration keptWait_{};
    AckFailed ackFailed_;
    ClockFrameParser parser_;
    std::optional<Unacknowledged> unacknowledged_;
    std::deque<PendingAck> pending_;
    std::uint64_t lastId_ = 0;
    bool looking_ = false; // a look again is scheduled
};

} // namespace clocklink
