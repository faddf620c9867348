#pragma once
// Finding the loft clock: send the probe frame to each listed port in turn,
// each time through a fresh port object with the component's defaults, and
// take the first port whose reply looks like the clock's.
//
// Port is the serial component (SetPort, SetConnected, WriteText, ReadText);
// it is a parameter so the clock link does not depend on it.

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "frame.h"

namespace clocklink {

inline constexpr int kProbeReplyWaitMs = 100;
inline constexpr int kProbeReplyMaxBytes = 25;

// At least 5 bytes, and byte 4 is 0x01 or 0x02, or byte 0 is 0x33 with byte
// 4 0x00. Length byte and checksum are not looked at.
bool LooksLikeLoftClock(std::string_view reply);

// failure, when given, receives the error that ended the probe (none when
// the port simply did not answer like the clock).
template <class Port>
bool ProbeLoftClock(const ByteString& name, std::exception_ptr* failure = nullptr)
{
    bool answer = false;
    auto port = std::make_unique<Port>();
    port->SetPort(name);
    try {
        port->SetConnected(true);
        port->WriteText(ByteString(kProbeFrame));
        // A plain sleep: the window is not serviced during the scan.
        std::this_thread::sleep_for(std::chrono::milliseconds(kProbeReplyWaitMs));
        ByteString reply;
        port->ReadText(reply, kProbeReplyMaxBytes);
        answer = LooksLikeLoftClock(reply);
    } catch (...) {
        // A port that cannot be opened, written or read has no clock.
        if (failure)
            *failure = std::current_exception();
    }
    port->SetConnected(false); // not guarded: a failing close ends the scan
    return answer;
}

// Ports whose probe failed are added to failures, when given, with the
// error; the scan itself still goes on silently.
using ProbeFailures = std::vector<std::pair<ByteString, std::exception_ptr>>;

template <class Port>
std::optional<ByteString> ScanForLoftClock(const std::vector<ByteString>& ports,
                                           ProbeFailures* failures = nullptr)
{
    for (const ByteString& name : ports) {
        if (name.empty())
            continue;
        std::exception_ptr failure;
        if (ProbeLoftClock<Port>(name, &failure))
            return name;
        if (failure && failures)
            failures->emplace_back(name, failure);
    }
    return std::nullopt;
}

} // namespace clocklink
