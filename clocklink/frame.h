#pragma once
// The clock's frame layout: start, sub-code, command, length n, n payload
// bytes, checksum = low 8 bits of the sum of everything before it.

#include <cstdint>
#include <string_view>

#include "port_ops.h"

namespace clocklink {

inline constexpr std::uint8_t kRequestStart = 0x6C; // "l"
inline constexpr std::uint8_t kAnswerStart = 0x33;  // "3"
inline constexpr std::uint8_t kCommandLine = 0x50;  // "P": line, acknowledged for sub-code U/T
inline constexpr std::uint8_t kCommandQuiet = 0x51; // "Q": line, never acknowledged
inline constexpr std::uint8_t kSubCodeU = 0x55;
inline constexpr std::uint8_t kSubCodeT = 0x54;
inline constexpr std::uint8_t kFormFeed = 0x0C;
inline constexpr std::uint8_t kDroppedAt = 0x40;    // "@" never reaches a row
inline constexpr std::size_t kMinFrameSize = 5;
inline constexpr std::size_t kMaxFrameSize = 260;

// Sent as is during the loft scan; its last byte is already the checksum.
inline constexpr std::string_view kProbeFrame{"\x6C\x01\x01\x02\x00\x00\x70", 7};

// Sum modulo 256 of every byte, each taken unsigned.
std::uint8_t Checksum(std::string_view bytes);

// The six bytes 33 s c 02 00 00 that answer a frame with sub-code s and
// command c; SendWithChecksum adds the seventh.
ByteString AckBody(std::uint8_t subCode, std::uint8_t command);

// body + its checksum, as one buffer.
ByteString WithChecksum(std::string_view body);

// Writes body + checksum to the port in one WriteText call. Write failures
// are the port's to report; they are not caught here.
void SendWithChecksum(ClockPortOps& port, std::string_view body);

// Builds a complete frame (start, sub-code, command, length, payload,
// checksum). The payload must not exceed 255 bytes.
ByteString MakeFrame(std::uint8_t start, std::uint8_t subCode, std::uint8_t command,
                     std::string_view payload);

} // namespace clocklink
