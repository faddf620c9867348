#include "receiver.h"

#include <utility>

#include "frame.h"

namespace clocklink {

FrameReceiver::FrameReceiver(ClockPortOps& port, printout::PrintoutSheet& sheet, SetLamp setLamp,
                             Delay delay)
    : port_(port), sheet_(sheet), setLamp_(std::move(setLamp)), delay_(std::move(delay))
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
    if (frame.acknowledge) {
        // Copied before the pause: the window runs during it.
        const ByteString body = AckBody(frame.subCode, frame.command);
        delay_(kAckDelayMs);
        try {
            if (beforeAck_)
                beforeAck_();
            SendWithChecksum(port_, body);
        } catch (...) {
            if (frame.appendLine)
                unacknowledged_ = Unacknowledged{row, marker, frame.subCode, frame.command, frame.line};
            throw;
        }
    }
    sheet_.ShowLastRow();
}

} // namespace clocklink
