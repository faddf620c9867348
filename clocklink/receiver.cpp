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

void FrameReceiver::HandleFrame(const CompletedFrame& frame)
{
    if (!frame.checksumOk) {
        setLamp_(kLampRed);
        return;
    }
    setLamp_(kLampLime);
    if (frame.appendLine) {
        sheet_.AppendLine(frame.line);
        if (frame.appendPageMarker)
            sheet_.AppendPageMarker();
    }
    if (frame.acknowledge) {
        // Copied before the pause: the window runs during it.
        const ByteString body = AckBody(frame.subCode, frame.command);
        delay_(kAckDelayMs);
        if (beforeAck_)
            beforeAck_();
        SendWithChecksum(port_, body);
    }
    sheet_.ShowLastRow();
}

} // namespace clocklink
