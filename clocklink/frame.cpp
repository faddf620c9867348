#include "frame.h"

#include <stdexcept>

namespace clocklink {

std::uint8_t Checksum(std::string_view bytes)
{
    unsigned sum = 0;
    for (unsigned char b : bytes)
        sum += b;
    return static_cast<std::uint8_t>(sum & 0xFFu);
}

ByteString AckBody(std::uint8_t subCode, std::uint8_t command)
{
    ByteString body;
    body.reserve(7);
    body.push_back(static_cast<char>(kAnswerStart));
    body.push_back(static_cast<char>(subCode));
    body.push_back(static_cast<char>(command));
    body.push_back('\x02');
    body.push_back('\x00');
    body.push_back('\x00');
    return body;
}

ByteString WithChecksum(std::string_view body)
{
    ByteString frame(body);
    frame.push_back(static_cast<char>(Checksum(body)));
    return frame;
}

void SendWithChecksum(ClockPortOps& port, std::string_view body)
{
    port.WriteText(WithChecksum(body));
}

ByteString MakeFrame(std::uint8_t start, std::uint8_t subCode, std::uint8_t command,
                     std::string_view payload)
{
    if (payload.size() > 255)
        throw std::length_error("frame payload longer than 255 bytes");
    ByteString body;
    body.reserve(payload.size() + 5);
    body.push_back(static_cast<char>(start));
    body.push_back(static_cast<char>(subCode));
    body.push_back(static_cast<char>(command));
    body.push_back(static_cast<char>(payload.size()));
    body.append(payload);
    return WithChecksum(body);
}

} // namespace clocklink
