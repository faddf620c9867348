#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pty_peer.h"
#include "serial/comport.h"
#include "serial/device.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"
#include "serial/monitor.h"
#include "serial/termios2.h"

#include <atomic>
#include <pthread.h>

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

TEST_F(Transfers, DiscardNullDropsZeroBytesAsTheyArrive) {
    port.SetDiscardNull(true);
    pty.Write(std::string("\0A\0\0B", 5));
    AwaitPending(2);
    EXPECT_EQ(port.PendingInput(), 2);
    std::string text;
    EXPECT_EQ(port.ReadText(text, 5), 2);
    EXPECT_EQ(text, "AB");
    // Zeros alone are nothing received.
    pty.Write(std::string(4, '\0'));
    PumpFor(dispatcher, 100);
    EXPECT_EQ(port.PendingInput(), 0);
    // A read that waits for its count is not ended early by a dropped zero.
    port.Timeouts().SetReadInterval(0);
    std::thread late([&] {
        pty.Write(std::string("C\0D", 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Write("E");
    });
    EXPECT_EQ(port.ReadText(text, 3), 3);
    late.join();
    EXPECT_EQ(text, "CDE");
}

TEST(RxFilter, ParityMarksAreResolvedAlsoWhenSplit) {
    // "\377\0c": c arrived with an error; "\377\377": a real 0xFF.
    const std::string raw = std::string("a\377\0xb\377\377c\377\0\0d", 12);
    TRxFilterConfig keep;
    keep.marks = true;
    TRxFilterConfig replace = keep;
    replace.replace = true;
    replace.replaceChar = '?';
    TRxFilterConfig dropNull = keep;
    dropNull.discardNull = true;
    const struct {
        TRxFilterConfig config;
        std::string out;
    } cases[] = {{keep, std::string("axb\377c\0d", 7)},
                 {replace, std::string("a?b\377c?d", 7)},
                 {dropNull, std::string("axb\377cd", 6)}};
    for (const auto& c : cases) {
        for (std::size_t cut = 0; cut <= raw.size(); ++cut) {
            TRxFilter f;
            std::string first = raw.substr(0, cut), second = raw.substr(cut);
            first.resize(static_cast<std::size_t>(f.Apply(first.data(), static_cast<int>(first.size()), c.config)));
            second.resize(static_cast<std::size_t>(f.Apply(second.data(), static_cast<int>(second.size()), c.config)));
            EXPECT_EQ(first + second, c.out) << "cut at " << cut;
        }
    }
    // Without marks the bytes pass unchanged (zeros dropped if asked).
    TRxFilter f;
    std::string plain = std::string("\377\0x\0", 4);
    EXPECT_EQ(f.Apply(plain.data(), 4, TRxFilterConfig{}), 4);
    TRxFilterConfig nulls;
    nulls.discardNull = true;
    EXPECT_EQ(f.Apply(plain.data(), 4, nulls), 2);
    EXPECT_EQ(plain.substr(0, 2), "\377x");
}

TEST(RxFilter, DriverMustTakeTheLineSettingsAsAsked) {
    TComPort p;
    TKernelTermios asked{};
    p.SetDataBits(dbFive);
    p.Parity().SetBits(prMark);
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(250000);
    p.FillTermios(asked);
    EXPECT_TRUE(DriverTookLineSettings(asked, asked, false));
    TKernelTermios got = asked;
    got.c_ispeed = got.c_ospeed = 9600; // the driver's fallback speed
    EXPECT_FALSE(DriverTookLineSettings(asked, got, false));
    got = asked;
    got.c_ospeed = got.c_ispeed = 251000; // within the kernel's rounding
    EXPECT_TRUE(DriverTookLineSettings(asked, got, false));
    got = asked;
    got.c_cflag = (got.c_cflag & ~CSIZE) | CS8;
    EXPECT_FALSE(DriverTookLineSettings(asked, got, false));
    got.c_cflag &= ~(PARENB | CMSPAR | PARODD);
    EXPECT_TRUE(DriverTookLineSettings(asked, got, true)); // what a pty does
    got = asked;
    got.c_cflag &= ~CMSPAR;
    EXPECT_FALSE(DriverTookLineSettings(asked, got, false));
    got = asked;
    got.c_iflag ^= IXON;
    EXPECT_FALSE(DriverTookLineSettings(asked, got, true));
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

TEST_F(Transfers, WritesGoOnThroughSignals) {
    // A handler without SA_RESTART, as the modem watch's wake signal has.
    const int sig = TModemWatch::WakeSignal();
    port.Timeouts().SetWriteTotalConstant(0);
    port.Timeouts().SetWriteTotalMultiplier(0);
    const std::string block(256 * 1024, 'w');
    std::atomic<bool> done{false};
    const pthread_t writer = ::pthread_self();
    std::thread peer([&] {
        std::string got;
        for (int i = 0; i < 400 && got.size() < block.size(); ++i)
            got += pty.Read(block.size() - got.size(), 50);
        done = true;
        EXPECT_EQ(got, block);
    });
    std::thread storm([&] {
        while (!done) {
            ::pthread_kill(writer, sig);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    int sent = -1;
    EXPECT_NO_THROW(sent = port.WriteText(block));
    peer.join();
    storm.join();
    EXPECT_EQ(sent, static_cast<int>(block.size()));
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
