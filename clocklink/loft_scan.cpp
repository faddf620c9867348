#include "loft_scan.h"

namespace clocklink {

bool LooksLikeLoftClock(std::string_view reply)
{
    if (reply.size() < 5)
        return false;
    const auto first = static_cast<unsigned char>(reply[0]);
    const auto payload = static_cast<unsigned char>(reply[4]);
    return (first == kAnswerStart && payload == 0x00) || payload == 0x01 || payload == 0x02;
}

} // namespace clocklink
