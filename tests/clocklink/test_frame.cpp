#include <gtest/gtest.h>

#include "clocklink/frame.h"
#include "fake_port.h"

using namespace clocklink;
using std::string_literals::operator""s;

TEST(Frame, ChecksumCoversStartAndLengthAndWraps)
{
    EXPECT_EQ(Checksum("\x6C\x00\x50\x01\x41"s.substr(0, 5)), 0xFE);
    EXPECT_EQ(Checksum("\x6C\x55\x50\x03\xF0\xF0\xF0"), 0xE4);
    EXPECT_EQ(Checksum(""), 0x00);
}

TEST(Frame, FrameSizesFollowTheLengthByte)
{
    EXPECT_EQ(MakeFrame(kRequestStart, 0, kCommandLine, "").size(), kMinFrameSize);
    EXPECT_EQ(MakeFrame(kRequestStart, 0, kCommandLine, std::string(255, 'x')).size(), kMaxFrameSize);
    EXPECT_THROW(MakeFrame(kRequestStart, 0, kCommandLine, std::string(256, 'x')), std::length_error);
    // Empty payload: checksum of the first four bytes.
    EXPECT_EQ(MakeFrame(0x6C, 0x55, 0x50, ""), "\x6C\x55\x50\x00\x11"s);
}

TEST(Frame, AcknowledgementsAreExactlySevenBytes)
{
    testing_support::FakeClockPort port;
    SendWithChecksum(port, AckBody(kSubCodeU, kCommandLine));
    SendWithChecksum(port, AckBody(kSubCodeT, kCommandLine));
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[0], "\x33\x55\x50\x02\x00\x00\xDA"s);
    EXPECT_EQ(port.writes[1], "\x33\x54\x50\x02\x00\x00\xD9"s);
}

TEST(Frame, SendWithChecksumOfEmptyBodyWritesOneZeroByte)
{
    testing_support::FakeClockPort port;
    SendWithChecksum(port, "");
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], "\x00"s);
}

TEST(Frame, ProbeFrameEndsWithItsOwnChecksum)
{
    ASSERT_EQ(kProbeFrame.size(), 7u);
    EXPECT_EQ(kProbeFrame, "\x6C\x01\x01\x02\x00\x00\x70"s);
    EXPECT_EQ(static_cast<unsigned char>(kProbeFrame[6]), Checksum(kProbeFrame.substr(0, 6)));
}
