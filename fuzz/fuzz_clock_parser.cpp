// Arbitrary line bytes through the frame parser and the receiver; checks the
// rules the sheet and the clock rely on, on every input.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clocklink/frame.h"
#include "clocklink/receiver.h"

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

struct Port : clocklink::ClockPortOps {
    std::string incoming;
    std::vector<std::string> writes;
    int WriteText(const std::string& text) override
    {
        writes.push_back(text);
        return static_cast<int>(text.size());
    }
    int ReadText(std::string& text, int count) override
    {
        const std::size_t n = std::min<std::size_t>(count, incoming.size());
        text.assign(incoming, 0, n);
        incoming.erase(0, n);
        return static_cast<int>(n);
    }
};

// Byte by byte against the frame layout: every completed frame must be the
// bytes since its start byte, its verdict must match the checksum, and an
// answer is asked for only where one is due.
std::size_t CheckParser(const std::uint8_t* data, std::size_t size)
{
    clocklink::ClockFrameParser parser;
    std::size_t frameStart = 0, acks = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const bool wasWaiting = parser.State() == clocklink::ParserState::AwaitStart;
        if (wasWaiting)
            frameStart = i;
        const bool done = parser.Feed(data[i]);
        if (wasWaiting && !done && parser.State() == clocklink::ParserState::AwaitStart)
            Check(parser.LineBuffer().empty());
        if (!done)
            continue;
        const std::uint8_t* f = data + frameStart;
        const std::size_t length = i - frameStart;
        Check(length >= 4 && length == 4u + f[3]);
        const std::string_view body(reinterpret_cast<const char*>(f), length);
        const auto& last = parser.Last();
        Check(last.checksumOk == (clocklink::Checksum(body) == data[i]));
        Check(f[0] == clocklink::kRequestStart || f[0] == clocklink::kAnswerStart);
        std::string expected;
        for (std::size_t k = 4; k < length; ++k)
            if (f[k] >= 0x20 && f[k] != 0x40)
                expected.push_back(static_cast<char>(f[k]));
        Check(last.line == expected);
        Check(last.line.find('@') == std::string::npos);
        const bool due = last.checksumOk && f[2] == 0x50 && (f[1] == 0x55 || f[1] == 0x54);
        Check(last.acknowledge == due);
        Check(!last.appendLine || (last.checksumOk && f[0] == 0x6C && (f[2] == 0x50 || f[2] == 0x51)));
        Check(parser.State() == clocklink::ParserState::AwaitStart);
        acks += due;
    }
    return acks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks how the stream is cut into events.
    const std::size_t chunk = 1 + data[0] % 64;
    ++data;
    --size;

    const std::size_t expectedAcks = CheckParser(data, size);

    Port port;
    printout::PrintoutSheet sheet;
    sheet.ResetSheet();
    clocklink::FrameReceiver rx(port, sheet, [](clocklink::LampColor) {}, [](int ms) { Check(ms == 50); });
    for (std::size_t pos = 0; pos < size; pos += chunk) {
        port.incoming.assign(reinterpret_cast<const char*>(data + pos), std::min(chunk, size - pos));
        rx.ComPort1RxChar(static_cast<int>(port.incoming.size()));
        Check(port.incoming.empty());
    }

    Check(port.writes.size() == expectedAcks);
    for (const std::string& ack : port.writes) {
        Check(ack.size() == 7);
        Check(ack == std::string("\x33\x55\x50\x02\x00\x00\xDA", 7) || ack == std::string("\x33\x54\x50\x02\x00\x00\xD9", 7));
    }
    Check(sheet.IsPageMarker(0));
    for (int row = 1; row < sheet.RowCount(); ++row) {
        const std::string_view text = sheet.RowText(row);
        if (sheet.IsPageMarker(row))
            Check(!sheet.IsPageMarker(row - 1)); // one marker per line at most
        else
            Check(text.find('@') == std::string_view::npos);
    }
    return 0;
}
