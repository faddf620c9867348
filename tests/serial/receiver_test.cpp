// The clock link's frame receiver on a live line: a real TComPort on a pty,
// the test playing the clock at the other end.

#include <gtest/gtest.h>

#include <chrono>

#include "clocklink/frame.h"
#include "clocklink/receiver.h"
#include "printout/sheet.h"
#include "pty_peer.h"
#include "serial/comport.h"
#include "serial/dispatcher.h"

using namespace serial;
using namespace serial_test;
using clocklink::MakeFrame;
using Clock = std::chrono::steady_clock;

#include <utility>

namespace {

class LiveReceiver : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetDispatcher(&dispatcher);
        port.SetPort(pty.Path());
        port.OnRxChar = [this](TComPort&, int count) { receiver.ComPort1RxChar(count); };
        port.OnMonitorEnded = [this](TComPort&, const std::string& m) { ended.push_back(m); };
        sheet.SetUp();
        port.OpenPort();
        sheet.ResetSheet();
    }
    void TearDown() override { port.ClosePort(); }

    std::vector<std::string> Rows() const {
        std::vector<std::string> rows;
        for (int r = 0; r < sheet.RowCount(); ++r)
            rows.emplace_back(sheet.RowText(r));
        return rows;
    }

    PtyPeer pty;
    TPlainDispatcher dispatcher;
    printout::PrintoutSheet sheet;
    std::vector<clocklink::LampColor> lamps;
    std::vector<std::string> ended;
    std::function<void()> duringPause;
    std::function<void(clocklink::LampColor)> receiverLamp;
    clocklink::FrameReceiver receiver{
        ops, sheet,
        [this](clocklink::LampColor c) {
            lamps.push_back(c);
            if (receiverLamp)
                receiverLamp(c);
        },
        [this](int ms) {
            // The window's pause: queued calls (and clicks) run meanwhile.
            if (duringPause)
                dispatcher.Post(std::exchange(duringPause, nullptr));
            PumpFor(dispatcher, ms);
        }};
    TComPort port;
    clocklink::PortOpsOf<TComPort> ops{port};
};

TEST_F(LiveReceiver, FramesBecomeRowsAndAcknowledgements) {
    Clock::time_point lime{};
    receiverLamp = [&](clocklink::LampColor c) {
        if (c == clocklink::kLampLime)
            lime = Clock::now();
    };
    pty.Write(MakeFrame(0x6C, 'U', 'P', "ABC"));
    // Handlers run only on the main thread: nothing happens until it runs them.
    EXPECT_EQ(pty.Drain(100), "");
    EXPECT_EQ(sheet.RowCount(), 1);

    std::string got;
    ASSERT_TRUE(PumpUntil(dispatcher, [&] {
        got += pty.Drain(1);
        return got.size() >= 7;
    }));
    const auto acked = Clock::now();
    EXPECT_EQ(got, std::string("\x33\x55\x50\x02\x00\x00\xDA", 7));
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(acked - lime).count(), 50);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"@", "ABC"}));
    ASSERT_GE(lamps.size(), 2u);
    EXPECT_EQ(lamps.front(), clocklink::kLampYellow);
    EXPECT_EQ(lamps.back(), clocklink::kLampLime);

    // An answer-start "T" frame: no row, but acknowledged.
    pty.Write(MakeFrame(0x33, 'T', 'P', ""));
    got.clear();
    ASSERT_TRUE(PumpUntil(dispatcher, [&] {
        got += pty.Drain(1);
        return got.size() >= 7;
    }));
    EXPECT_EQ(got, std::string("\x33\x54\x50\x02\x00\x00\xD9", 7));
    EXPECT_EQ(sheet.RowCount(), 2);
}

TEST_F(LiveReceiver, SplitFramesPageMarkersAndBadChecksums) {
    std::string frame = MakeFrame(0x6C, 'U', 'Q', std::string("A\x0C", 2));
    pty.Write(frame.substr(0, 3));
    PumpFor(dispatcher, 30);
    pty.Write(frame.substr(3, 2));
    PumpFor(dispatcher, 30);
    EXPECT_EQ(sheet.RowCount(), 1);
    pty.Write(frame.substr(5));
    std::string bad = MakeFrame(0x6C, 'U', 'Q', "XYZ");
    bad.back() = static_cast<char>(bad.back() + 1);
    pty.Write(std::string("\x00\xFF\x41", 3) + bad + MakeFrame(0x6C, 'T', 'Q', "DE"));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return sheet.RowCount() == 4; }));
    PumpFor(dispatcher, 100);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"@", "A", "@", "DE"}));
    EXPECT_EQ(lamps.back(), clocklink::kLampLime);
    EXPECT_EQ(pty.Drain(50), ""); // "Q" frames are never acknowledged
    EXPECT_TRUE(ended.empty());
}

TEST_F(LiveReceiver, ManyFramesInABurstAllArriveInOrder) {
    std::string burst;
    std::vector<std::string> want{"@"};
    for (int i = 0; i < 300; ++i) {
        const std::string line = "Pigeon " + std::to_string(i) + " arrived";
        burst += MakeFrame(0x6C, 'U', 'Q', line);
        want.push_back(line);
    }
    // A pty hands the whole burst over at once, not at the line's 960 bytes
    // a second: the queue must hold it (1024 bytes would overrun).
    port.ClosePort();
    port.Buffer().SetInputSize(static_cast<int>(burst.size()) * 2);
    port.OpenPort();
    pty.Write(burst);
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return sheet.RowCount() == 301; }, 30000));
    EXPECT_EQ(Rows(), want);
}

TEST_F(LiveReceiver, DisconnectDuringTheAcknowledgementPauseNeverBlocks) {
    duringPause = [this] { port.ClosePort(); };
    Watchdog dog(30, "disconnect during the receiver's pause");
    pty.Write(MakeFrame(0x6C, 'U', 'P', "LAST") + MakeFrame(0x6C, 'U', 'Q', "MORE"));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return port.Handle() < 0; }));
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.ThreadStarted());
    // The frame's row was in before the pause; the rest of that event was
    // still handled by the running handler.
    EXPECT_EQ(sheet.RowText(1), "LAST");
    EXPECT_TRUE(ended.empty());
    // Connecting again works at once and the line is live.
    port.OpenPort();
    pty.Write(MakeFrame(0x6C, 'U', 'Q', "AGAIN"));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return sheet.RowText(sheet.RowCount() - 1) == "AGAIN"; }));
}

TEST_F(LiveReceiver, ClockGoneMidFrameIsReported) {
    pty.Write(MakeFrame(0x6C, 'U', 'Q', "HALF").substr(0, 6));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return lamps.size() == 1; }));
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !ended.empty(); }));
    EXPECT_EQ(ended.front(), "ReadFile function failed (win error code: 5)");
    EXPECT_EQ(sheet.RowCount(), 1);
    EXPECT_TRUE(port.Connected());
}

} // namespace
