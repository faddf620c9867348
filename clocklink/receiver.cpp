#include "receiver.h"

#include <chrono>
#include <utility>

#include "frame.h"

namespace clocklink {

FrameReceiver::FrameReceiver(ClockPortOps& port, printout::PrintoutSheet& sheet, SetLamp setLamp,
                             Schedule schedule)
    : port_(port), sheet_(sheet), setLamp_(std::move(setLamp)), schedule_(std::move(schedule))
{
}

FrameReceiver::FrameReceiver(ClockPortOps& port, printout::PrintoutSheet& sheet, SetLamp setLamp,
                             Delay delay)
    : FrameReceiver(port, sheet, std::move(setLamp),
                    Schedule([delay = std::move(delay)](int ms, std::function<void()> callback) {
                        delay(ms);
                        callback();
                    }))
{
}

void FrameReceiver::ComPort1RxChar(int count)
{
    ByteString bytes;
    port_.ReadText(bytes, count);
    setLamp_(kLampYellow);
    for (unsigned char b : bytes) {
        if (parser_.Feed(b))
            HandleFrame(parser_.Last());
    }
}

bool FrameReceiver::IsResend(const CompletedFrame& frame) const
{
    if (!unacknowledged_ || !frame.appendLine || !frame.acknowledge)
        return false;
    const Unacknowledged& u = *unacknowledged_;
    // The row must still be the sheet's last (no Clear Screen since).
    const int rows = u.row + 1 + (u.marker ? 1 : 0);
    return frame.subCode == u.subCode && frame.command == u.command && frame.line == u.line &&
           sheet_.RowCount() == rows && sheet_.NextRow() == rows && sheet_.RowText(u.row) == u.line;
}

void FrameReceiver::HandleFrame(const CompletedFrame& frame)
{
    if (!frame.checksumOk) {
        // A garbled frame may be the resend itself: the mark stays.
        setLamp_(kLampRed);
        return;
    }
    setLamp_(kLampLime);
    const bool resend = IsResend(frame);
    const std::optional<Unacknowledged> earlier = std::exchange(unacknowledged_, std::nullopt);
    const int row = resend ? earlier->row : sheet_.NextRow();
    bool marker = resend && earlier->marker;
    if (frame.appendLine && !resend)
        sheet_.AppendLine(frame.line);
    if (frame.appendPageMarker && !marker) {
        sheet_.AppendPageMarker();
        marker = true;
    }
    if (!frame.acknowledge) {
        sheet_.ShowLastRow();
        return;
    }
    std::optional<Unacknowledged> mark;
    if (frame.appendLine)
        mark = Unacknowledged{row, marker, frame.subCode, frame.command, frame.line};
    const std::uint64_t id = ++lastId_;
    pending_.push_back(PendingAck{id, AckBody(frame.subCode, frame.command),
                                  Clock::now() + std::chrono::milliseconds(kAckDelayMs), false,
                                  beforeAck_ ? beforeAck_() : std::function<bool()>(), std::move(mark)});
    schedule_(kAckDelayMs, [this, id] { PauseOver(id); });
}

void FrameReceiver::PauseOver(std::uint64_t id)
{
    for (PendingAck& ack : pending_)
        if (ack.id == id)
            ack.pauseOver = true;
    SendAcksThatMayGo();
}

bool FrameReceiver::MayGo(const PendingAck& ack) const
{
    return ack.pauseOver && (!ack.kept || ack.kept() || Clock::now() >= ack.due + keptWait_);
}

void FrameReceiver::SendAcksThatMayGo()
{
    // Popped before the write: what it runs may come back here.
    while (!pending_.empty() && pending_.front().pauseOver) {
        if (!MayGo(pending_.front())) {
            if (!looking_) {
                looking_ = true;
                schedule_(kAckLookMs, [this] {
                    looking_ = false;
                    SendAcksThatMayGo();
                });
            }
            return;
        }
        PendingAck ack = std::move(pending_.front());
        pending_.pop_front();
        Send(std::move(ack));
    }
}

void FrameReceiver::SendDueAcks(const Wait& wait)
{
    const auto msUntil = [](Clock::time_point t) {
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count());
    };
    while (!pending_.empty()) {
        const std::uint64_t id = pending_.front().id;
        const auto gone = [this, id] { return pending_.empty() || pending_.front().id != id; };
        if (const int left = msUntil(pending_.front().due); left > 0)
            wait(left, {});
        if (gone())
            continue; // its own timer sent it meanwhile
        pending_.front().pauseOver = true;
        if (!MayGo(pending_.front())) {
            wait(msUntil(pending_.front().due + keptWait_), [&] { return gone() || MayGo(pending_.front()); });
            if (gone())
                continue;
        }
        PendingAck ack = std::move(pending_.front());
        pending_.pop_front();
        Send(std::move(ack));
    }
}

void FrameReceiver::DropDueAcks()
{
    for (PendingAck& ack : pending_)
        if (ack.row)
            unacknowledged_ = std::move(ack.row);
    pending_.clear();
}

void FrameReceiver::Send(PendingAck ack)
{
    try {
        SendWithChecksum(port_, ack.body);
    } catch (...) {
        if (ack.row)
            unacknowledged_ = std::move(ack.row);
        if (!ackFailed_)
            throw;
        ackFailed_();
        return;
    }
    sheet_.ShowLastRow();
}

} // namespace clocklink
