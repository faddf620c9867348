#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pty_peer.h"
#include "serial/comport.h"

using namespace serial;
using namespace serial_test;
using Clock = std::chrono::steady_clock;

namespace {

long MsSince(Clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

class Transfers : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetDispatcher(&dispatcher);
        port.SetPort(pty.Path());
        port.SetEvents({});
        port.OpenPort();
    }
    // Waits until the driver holds n received bytes.
    void AwaitPending(int n) {
        ASSERT_TRUE(PumpUntil(dispatcher, [&] { return port.PendingInput() >= n; }, 5000));
    }

    PtyPeer pty;
    TPlainDispatcher dispatcher;
    TComPort port;
};

TEST_F(Transfers, WritesBytesUnchangedIncludingZeros) {
    EXPECT_EQ(port.WriteText(""), 0);
    const std::string ack("\x33\x55\x50\x02\x00\x00\xDA", 7);
    EXPECT_EQ(port.WriteText(ack), 7);
    EXPECT_EQ(pty.Read(7), ack);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    EXPECT_EQ(port.WriteText(all), 256);
    EXPECT_EQ(pty.Read(256), all);
    EXPECT_EQ(pty.Drain(50), ""); // nothing else, no echo
}

TEST_F(Transfers, DefaultReadsReturnAtOnceWithWhatIsQueued) {
    std::string text = "old";
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_TRUE(text.empty());

    auto t0 = Clock::now();
    EXPECT_EQ(port.ReadText(text, 25), 0);
    EXPECT_TRUE(text.empty());
    EXPECT_LT(MsSince(t0), 2000);

    pty.Write(std::string("a\0b", 3));
    AwaitPending(3);
    EXPECT_EQ(port.PendingInput(), 3);
    EXPECT_EQ(port.ReadText(text, 25), 3);
    EXPECT_EQ(text, std::string("a\0b", 3));

    pty.Write("0123456789");
    AwaitPending(10);
    EXPECT_EQ(port.ReadText(text, 4), 4);
    EXPECT_EQ(text, "0123");
    EXPECT_EQ(port.PendingInput(), 6);
    char buf[16];
    EXPECT_EQ(port.ReadBytes(buf, 16), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
}

TEST_F(Transfers, DiscardNullDropsZeroBytes) {
    port.SetDiscardNull(true);
    pty.Write(std::string("\0A\0\0B", 5));
    AwaitPending(5);
    std::string text;
    EXPECT_EQ(port.ReadText(text, 5), 2);
    EXPECT_EQ(text, "AB");
}

TEST_F(Transfers, ReadTimeoutsWaitForTheirBytes) {
    // Total timeout: wait up to 300 ms for 10 bytes, return what came.
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(300);
    pty.Write("abc");
    AwaitPending(3);
    std::string text;
    auto t0 = Clock::now();
    EXPECT_EQ(port.ReadText(text, 10), 3);
    EXPECT_EQ(text, "abc");
    EXPECT_GE(MsSince(t0), 250);

    // "Return on the first bytes, or after the constant": MAXDWORD, MAXDWORD, c.
    port.Timeouts().SetReadInterval(-1);
    port.Timeouts().SetReadTotalMultiplier(-1);
    port.Timeouts().SetReadTotalConstant(5000);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Write("xy");
    });
    t0 = Clock::now();
    const int n = port.ReadText(text, 10);
    late.join();
    EXPECT_GE(n, 1);
    EXPECT_EQ(text, std::string("xy").substr(0, n));
    EXPECT_LT(MsSince(t0), 4000);

    // All zero: no time limit, the read waits for every byte.
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(0);
    std::string rest;
    port.ReadText(rest, 0);
    std::thread feeder([&] {
        for (char c : std::string("12345")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pty.Write(std::string(1, c));
        }
    });
    const int m = port.ReadText(text, 5 + (n == 1 ? 1 : 0));
    feeder.join();
    EXPECT_EQ(m, 5 + (n == 1 ? 1 : 0));
    EXPECT_EQ(text.substr(text.size() - 5), "12345");
}

TEST_F(Transfers, ReadIntervalEndsAReadAfterAGap) {
    port.Timeouts().SetReadInterval(100);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(0);
    pty.Write("ab");
    std::string text;
    auto t0 = Clock::now();
    EXPECT_EQ(port.ReadText(text, 100), 2);
    EXPECT_EQ(text, "ab");
    EXPECT_GE(MsSince(t0), 90);
    EXPECT_LT(MsSince(t0), 5000);
}

TEST_F(Transfers, WriteEndsWithAShortCountAtItsTimeLimit) {
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(200);
    const std::string block(1 << 20, 'z');
    const auto t0 = Clock::now();
    const int sent = port.WriteText(block); // nobody reads the master
    const long ms = MsSince(t0);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(block.size()));
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 5000);
    // The bytes that were accepted come out in order.
    const std::string got = pty.Read(static_cast<std::size_t>(sent));
    EXPECT_EQ(got, block.substr(0, static_cast<std::size_t>(sent)));
}

TEST_F(Transfers, AbortEndsATransferInProgressWithoutEmptyingQueues) {
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(0); // no limit: only the abort ends it
    const std::string block(1 << 20, 'q');
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        port.AbortTransfers();
    });
    const auto t0 = Clock::now();
    const int sent = port.WriteText(block);
    aborter.join();
    EXPECT_LT(sent, static_cast<int>(block.size()));
    EXPECT_LT(MsSince(t0), 5000);
    // A later transfer is not cancelled by the old abort.
    port.Timeouts().SetWriteTotalConstant(100);
    pty.Drain(200);
    EXPECT_EQ(port.WriteText("after"), 5);
    EXPECT_EQ(pty.Read(5), "after");
}

TEST_F(Transfers, StatusQueriesOnAPty) {
    // A pty has no modem lines and no error counters: none on, no error.
    EXPECT_TRUE(port.ModemSignals().Empty());
    EXPECT_TRUE(port.TakeLineErrors().Empty());
    EXPECT_EQ(port.PendingInput(), 0);
}

TEST_F(Transfers, TransferStepsRefuseAMissingRecord) {
    char b[4];
    for (auto call : {std::function<void()>([&] { port.StartWrite(b, 4, nullptr); }),
                      std::function<void()>([&] { port.StartRead(b, 4, nullptr); }),
                      std::function<void()>([&] { port.AwaitTransfer(nullptr); })}) {
        try {
            call();
            FAIL();
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 4);
            EXPECT_STREQ(e.what(), "Invalid Async parameter");
        }
    }
    // A record on which nothing was started awaits to 0 at once.
    TComTransfer* t = port.NewTransfer();
    EXPECT_EQ(port.AwaitTransfer(t), 0);
    port.FreeTransfer(t);
    EXPECT_EQ(t, nullptr);
}

TEST_F(Transfers, ClosedPortRaisesAndStaysClosed) {
    port.ClosePort();
    std::string text;
    try {
        port.ReadText(text, 5);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 3);
        EXPECT_EQ(e.SystemErrorCode(), EBADF);
    }
    try {
        port.WriteText("x");
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 2);
        EXPECT_STREQ(e.what(), "WriteFile function failed (win error code: 9)");
    }
    EXPECT_THROW(port.PendingInput(), EComPort);
    try {
        port.ModemSignals();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 11);
    }
    try {
        port.TakeLineErrors();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 10);
    }
    EXPECT_FALSE(port.Connected());
}

TEST_F(Transfers, HangUpIsAReadFailure) {
    pty.CloseMaster();
    std::string text;
    try {
        port.ReadText(text, 5);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 3);
        EXPECT_EQ(e.SystemErrorCode(), EIO);
    }
    EXPECT_THROW(port.WriteText("x"), EComPort);
    EXPECT_TRUE(port.Connected()); // until the user closes it
    port.ClosePort();
}

} // namespace
