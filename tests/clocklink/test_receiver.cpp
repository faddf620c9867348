#include <gtest/gtest.h>

#include "clocklink/frame.h"
#include "clocklink/receiver.h"
#include "fake_port.h"

using namespace clocklink;
using std::string_literals::operator""s;

namespace {

const std::string kAckU = "\x33\x55\x50\x02\x00\x00\xDA"s;
const std::string kAckT = "\x33\x54\x50\x02\x00\x00\xD9"s;

std::string LineFrame(const std::string& payload, std::uint8_t sub = kSubCodeU, std::uint8_t cmd = kCommandLine)
{
    return MakeFrame(kRequestStart, sub, cmd, payload);
}

struct Rig {
    testing_support::FakeClockPort port;
    printout::PrintoutSheet sheet;
    std::vector<LampColor> lamps;
    std::vector<int> delays;
    std::vector<int> rowsWhenPaused;
    std::vector<std::size_t> writesWhenPaused;
    FrameReceiver rx{port, sheet, [this](LampColor c) { lamps.push_back(c); },
                     [this](int ms) {
                         delays.push_back(ms);
                         rowsWhenPaused.push_back(sheet.RowCount());
                         writesWhenPaused.push_back(port.writes.size());
                     }};

    Rig() { sheet.ResetSheet(); }

    void Event(const std::string& bytes)
    {
        port.Arrive(bytes);
        rx.ComPort1RxChar(port.Pending());
    }

    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows;
        for (int i = 0; i < sheet.RowCount(); ++i)
            rows.emplace_back(sheet.RowText(i));
        return rows;
    }

    LampColor Lamp() const { return lamps.back(); }
};

using Rows = std::vector<std::string>;

} // namespace

TEST(Receiver, AcknowledgedLineFrame)
{
    Rig r;
    r.Event("\x6C\x55\x50\x03" "ABC" "\xDA"s);
    EXPECT_EQ(r.Rows(), (Rows{"@", "ABC"}));
    EXPECT_EQ(r.lamps, (std::vector<LampColor>{kLampYellow, kLampLime}));
    // The row is on the sheet before the pause, the answer only after it.
    ASSERT_EQ(r.delays, std::vector<int>{50});
    EXPECT_EQ(r.rowsWhenPaused, std::vector<int>{2});
    EXPECT_EQ(r.writesWhenPaused, std::vector<std::size_t>{0});
    EXPECT_EQ(r.port.writes, std::vector<std::string>{kAckU});
    EXPECT_EQ(r.sheet.CurrentRow(), 1);
}

TEST(Receiver, KeepsTheLineAfterThePauseAndBeforeTheAnswer)
{
    Rig r;
    std::vector<std::string> order;
    r.rx.SetBeforeAck([&] { order.push_back(std::to_string(r.delays.size()) + " pauses, " +
                                            std::to_string(r.port.writes.size()) + " writes"); });
    r.Event("\x6C\x55\x50\x03" "ABC" "\xDA"s);
    r.Event("\x6C\x55\x51\x03" "ABC" "\xDB"s); // not answered: nothing to wait for
    EXPECT_EQ(order, std::vector<std::string>{"1 pauses, 0 writes"});
    EXPECT_EQ(r.port.writes, std::vector<std::string>{kAckU});
}

TEST(Receiver, WhichFramesAreAnswered)
{
    Rig r;
    r.Event("\x6C\x55\x51\x03" "ABC" "\xDB"s);                  // "Q": line, never answered
    r.Event(LineFrame("T-line", kSubCodeT));                    // "P"/"T": answered with T
    r.Event(LineFrame("other sub-code", 0x41));                 // "P" with another sub-code
    r.Event("\x33\x54\x50\x00\xD7"s);                           // answer start, "P"/"T": answered, no row
    r.Event(std::string(kProbeFrame));                          // a frame that carries nothing
    EXPECT_EQ(r.Rows(), (Rows{"@", "ABC", "T-line", "other sub-code"}));
    EXPECT_EQ(r.port.writes, (std::vector<std::string>{kAckT, kAckT}));
    EXPECT_EQ(r.delays.size(), 2u);
    EXPECT_EQ(r.Lamp(), kLampLime);
    EXPECT_EQ(r.sheet.CurrentRow(), 3);
}

TEST(Receiver, FrameSplitOverEventsCompletesOnlyAtItsChecksum)
{
    Rig r;
    const std::string frame = LineFrame("split");
    r.Event(frame.substr(0, 2));
    EXPECT_EQ(r.Lamp(), kLampYellow);
    r.Event(frame.substr(2, 4));
    EXPECT_EQ(r.Lamp(), kLampYellow);
    EXPECT_EQ(r.sheet.RowCount(), 1);
    r.Event(frame.substr(6));
    EXPECT_EQ(r.Lamp(), kLampLime);
    EXPECT_EQ(r.Rows(), (Rows{"@", "split"}));

    // One byte per event works just as well.
    for (char c : LineFrame("bytewise", 0x00, kCommandQuiet))
        r.Event(std::string(1, c));
    EXPECT_EQ(r.Rows(), (Rows{"@", "split", "bytewise"}));
}

TEST(Receiver, SeveralFramesAndGarbageInOneEvent)
{
    Rig r;
    r.Event("\x00\xFF\x41"s + LineFrame("one", 0, kCommandQuiet) + "zz\x01"s +
            LineFrame("two", 0, kCommandQuiet) + "\x6C\x00\x51\x01X\x00"s /* bad checksum */);
    EXPECT_EQ(r.Rows(), (Rows{"@", "one", "two"}));
    EXPECT_EQ(r.lamps, (std::vector<LampColor>{kLampYellow, kLampLime, kLampLime, kLampRed}));

    r.Event(LineFrame("three", 0, kCommandQuiet) + LineFrame("four", 0, kCommandQuiet));
    EXPECT_EQ(r.Rows(), (Rows{"@", "one", "two", "three", "four"}));
    EXPECT_EQ(r.Lamp(), kLampLime); // the second frame's result
}

TEST(Receiver, PayloadBytesThatBecomeText)
{
    Rig r;
    r.Event(LineFrame("\x41\x40\x42"s));         // "@" dropped
    r.Event(LineFrame("\x20\x41\x09\x42"s));     // tab dropped, space kept
    r.Event(LineFrame(""));                      // empty line
    r.Event(LineFrame("\x7F\x80\xE4\xFF\x1F\x00\x01"s));
    EXPECT_EQ(r.Rows(), (Rows{"@", "AB", " AB", "", "\x7F\x80\xE4\xFF"s}));
    for (int i = 1; i < r.sheet.RowCount(); ++i)
        EXPECT_FALSE(r.sheet.IsPageMarker(i));
}

TEST(Receiver, FormFeedsPutOneMarkerAfterTheirLine)
{
    Rig r;
    r.Event(LineFrame("A\x0C"s));
    r.Event(LineFrame("\x0C\x0C"s));
    EXPECT_EQ(r.Rows(), (Rows{"@", "A", "@", "", "@"}));
    EXPECT_EQ(r.sheet.RowHeight(2), 1);
    EXPECT_EQ(r.sheet.RowHeight(3), 15);
    EXPECT_EQ(r.sheet.CurrentRow(), 4);
}

TEST(Receiver, FormFeedOfABadFrameWaitsForTheNextGoodLine)
{
    Rig r;
    std::string bad = LineFrame("X\x0C"s);
    bad.back() = static_cast<char>(bad.back() + 1);
    r.Event(bad);
    EXPECT_EQ(r.Rows(), Rows{"@"});
    EXPECT_EQ(r.Lamp(), kLampRed);
    EXPECT_TRUE(r.port.writes.empty());
    EXPECT_TRUE(r.rx.Parser().PageMarkerPending());

    // The flag also survives a reset of the sheet.
    r.sheet.ResetSheet();
    r.Event(LineFrame("next"));
    EXPECT_EQ(r.Rows(), (Rows{"@", "next", "@"}));
    EXPECT_FALSE(r.rx.Parser().PageMarkerPending());
}

TEST(Receiver, FormFeedOutsideLineFramesSetsNoMarker)
{
    Rig r;
    r.Event(MakeFrame(kAnswerStart, kSubCodeU, kCommandLine, "\x0C"));   // answered, no line
    r.Event(MakeFrame(kRequestStart, kSubCodeU, 0x52, "\x0C"));         // unknown command
    EXPECT_FALSE(r.rx.Parser().PageMarkerPending());
    r.Event(LineFrame("plain"));
    EXPECT_EQ(r.Rows(), (Rows{"@", "plain"}));
}

TEST(Receiver, ReadsOnlyTheAnnouncedCount)
{
    Rig r;
    const std::string frame = LineFrame("counted", 0, kCommandQuiet);
    r.port.Arrive(frame);
    r.rx.ComPort1RxChar(3);
    EXPECT_EQ(r.port.Pending(), static_cast<int>(frame.size()) - 3);
    EXPECT_EQ(r.sheet.RowCount(), 1);
    r.rx.ComPort1RxChar(r.port.Pending());
    EXPECT_EQ(r.Rows(), (Rows{"@", "counted"}));
}

TEST(Receiver, FailedAcknowledgementLeavesTheParserReadyForTheNextFrame)
{
    Rig r;
    r.port.failWrites = true;
    // The frame's row is appended, then the write fails; the rest of the
    // event is not handled.
    EXPECT_THROW(r.Event(LineFrame("kept") + LineFrame("dropped with the event")), std::runtime_error);
    EXPECT_EQ(r.Rows(), (Rows{"@", "kept"}));
    EXPECT_EQ(r.Lamp(), kLampLime);
    EXPECT_EQ(r.sheet.CurrentRow(), 0); // ShowLastRow was not reached
    EXPECT_EQ(r.rx.Parser().State(), ParserState::AwaitStart);
    EXPECT_TRUE(r.rx.Parser().LineBuffer().empty());

    // Whatever comes next is read as a fresh frame, not as a second checksum.
    r.port.failWrites = false;
    r.Event(LineFrame("after", 0, kCommandQuiet));
    EXPECT_EQ(r.Rows(), (Rows{"@", "kept", "after"}));
    EXPECT_EQ(r.Lamp(), kLampLime);
}

TEST(Receiver, ALineWhoseAcknowledgementFailedIsKeptOnceWhenItComesAgain)
{
    Rig r;
    const std::string separator = LineFrame("--------");
    r.Event(separator);
    r.Event(separator); // repeated on purpose: a row each time
    r.port.failWrites = true;
    EXPECT_THROW(r.Event(LineFrame("page end\x0C"s)), std::runtime_error);
    EXPECT_TRUE(r.rx.RowUnacknowledged());
    r.rx.LineBack();
    EXPECT_TRUE(r.rx.RowUnacknowledged());

    // A garbled copy changes nothing; the resend is answered without a row.
    r.port.failWrites = false;
    std::string garbled = LineFrame("page end\x0C"s);
    garbled.back() = static_cast<char>(garbled.back() ^ 0x55);
    r.Event(garbled);
    EXPECT_TRUE(r.rx.RowUnacknowledged());
    r.Event(LineFrame("page end\x0C"s));
    const Rows kept{"@", "--------", "--------", "page end", "@"};
    EXPECT_EQ(r.Rows(), kept);
    EXPECT_EQ(r.port.writes, (std::vector<std::string>(3, kAckU)));
    EXPECT_FALSE(r.rx.RowUnacknowledged());
    EXPECT_EQ(r.sheet.CurrentRow(), 4);
    // Sent again after its acknowledgement went out: a new row.
    r.Event(LineFrame("page end"));
    EXPECT_EQ(r.Rows().size(), kept.size() + 1);

    // Any other first frame clears the mark: a later copy is a row again.
    r.port.failWrites = true;
    EXPECT_THROW(r.Event(separator), std::runtime_error);
    r.port.failWrites = false;
    r.Event(LineFrame("next", kSubCodeT));
    r.Event(separator);
    EXPECT_EQ(r.Rows(), (Rows{"@", "--------", "--------", "page end", "@", "page end", "--------", "next",
                              "--------"}));

    // So does a fresh connection, and a sheet cleared meanwhile.
    for (bool clear : {false, true}) {
        r.port.failWrites = true;
        EXPECT_THROW(r.Event(separator), std::runtime_error);
        r.port.failWrites = false;
        if (clear)
            r.sheet.ResetSheet();
        else
            r.rx.Reset();
        const int rows = r.sheet.RowCount();
        r.Event(separator);
        EXPECT_EQ(r.sheet.RowCount(), rows + 1);
    }
}

TEST(Receiver, ResetReturnsToAwaitStartAndClearsThePendingMarker)
{
    Rig r;
    std::string bad = LineFrame("\x0C"s);
    bad.back() = static_cast<char>(bad.back() ^ 0x55);
    r.Event(bad + "\x6C\x55"s); // a new frame is under way
    ASSERT_EQ(r.rx.Parser().State(), ParserState::AwaitCommand);
    r.rx.Reset();
    EXPECT_EQ(r.rx.Parser().State(), ParserState::AwaitStart);
    EXPECT_FALSE(r.rx.Parser().PageMarkerPending());
}
