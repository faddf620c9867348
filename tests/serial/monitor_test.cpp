#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "pty_peer.h"
#include "serial/comport.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"

using namespace serial;
using namespace serial_test;

namespace {

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetDispatcher(&dispatcher);
        port.SetPort(pty.Path());
        port.OnMonitorEnded = [this](TComPort&, const std::string& m) { ended.push_back(m); };
        port.OnDeferredError = [this](TComPort&, const std::string& m) { deferred.push_back(m); };
    }

    PtyPeer pty;
    TPlainDispatcher dispatcher;
    std::vector<std::string> ended;
    std::vector<std::string> deferred;
    const std::thread::id mainThread = std::this_thread::get_id();
    TComPort port;
};

TEST_F(Monitor, ReceivedBytesAreAnnouncedOnTheMainThread) {
    std::vector<int> counts;
    std::string received;
    bool onMain = true;
    port.OnRxChar = [&](TComPort& p, int count) {
        onMain = onMain && std::this_thread::get_id() == mainThread;
        counts.push_back(count);
        std::string text;
        EXPECT_EQ(p.ReadText(text, count), count);
        received += text;
    };
    port.OpenPort();
    pty.Write("hello");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return received.size() == 5; }));
    EXPECT_EQ(received, "hello");
    EXPECT_TRUE(onMain);
    for (int c : counts)
        EXPECT_GT(c, 0);
    pty.Write("world");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return received.size() == 10; }));
    EXPECT_EQ(received, "helloworld");
    EXPECT_TRUE(ended.empty());
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, BytesQueuedBeforeTheOpenAreAnnounced) {
    std::string received;
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        received += text;
    };
    // Opened once so that the line is raw, then closed with bytes on the way.
    port.OpenPort();
    port.ClosePort();
    pty.Write("early");
    port.OpenPort();
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return received == "early"; }));
    port.ClosePort();
}

TEST_F(Monitor, UnreadBytesWaitForTheNextArrival) {
    std::vector<int> counts;
    port.OnRxChar = [&](TComPort&, int count) { counts.push_back(count); };
    port.OpenPort();
    pty.Write("abc");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !counts.empty() && counts.back() == 3; }));
    // Nothing read: no new announcement while nothing new arrives (and no spin).
    const std::size_t events = counts.size();
    PumpFor(dispatcher, 200);
    EXPECT_EQ(counts.size(), events);
    pty.Write("de");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return counts.back() == 5; }));
    EXPECT_EQ(port.PendingInput(), 5);
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, EventWithNothingLeftToReadRaisesNoRxChar) {
    int calls = 0;
    std::string received;
    port.OnRxChar = [&](TComPort& p, int count) {
        ++calls;
        EXPECT_GT(count, 0);
        if (calls == 1) {
            // More bytes arrive while this handler runs; it takes them all.
            pty.Write("LATE");
            for (int i = 0; i < 1000 && p.PendingInput() < count + 4; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::string text;
        p.ReadText(text, p.PendingInput());
        received += text;
    };
    port.OpenPort();
    pty.Write("first");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return received.size() == 9; }));
    PumpFor(dispatcher, 200);
    EXPECT_EQ(received, "firstLATE");
    EXPECT_EQ(calls, 1); // the event for LATE found nothing left
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, HandlerExceptionEndsTheMonitorAndIsReportedOnce) {
    int calls = 0;
    port.OnRxChar = [&](TComPort&, int) {
        ++calls;
        throw EComPort(CError_ReadFailed, 5);
    };
    port.OpenPort();
    pty.Write("x");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !ended.empty(); }));
    EXPECT_EQ(ended, std::vector<std::string>{"ReadFile function failed (win error code: 5)"});
    EXPECT_FALSE(port.MonitorRunning());
    EXPECT_TRUE(port.ThreadStarted());
    EXPECT_TRUE(port.Connected());
    // Deaf until closed and opened again; reading and writing still work.
    pty.Write("y");
    PumpFor(dispatcher, 200);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ended.size(), 1u);
    EXPECT_EQ(port.WriteText("ok"), 2);
    EXPECT_EQ(pty.Read(2), "ok");
    port.ClosePort();
    EXPECT_FALSE(port.ThreadStarted());
    std::string received;
    port.OnRxChar = [&](TComPort& p, int n) {
        ++calls;
        std::string t;
        p.ReadText(t, n);
        received += t;
    };
    port.OpenPort();
    pty.Write("z");
    // The raised handler read nothing and the queue outlived the monitor:
    // "x" and "y" come with "z", in one announcement or in two.
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return received == "xyz"; })) << received;
    EXPECT_GE(calls, 2);
    EXPECT_LE(calls, 3);
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, HangUpMidFrameIsReportedAndThePortStaysOpen) {
    std::string received;
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        received += text;
    };
    port.OpenPort();
    pty.Write(std::string("\x6C\x55\x50\x03\x41", 5));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return received.size() == 5; }));
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !ended.empty(); }));
    EXPECT_EQ(ended, std::vector<std::string>{"ReadFile function failed (win error code: 5)"});
    EXPECT_TRUE(port.Connected());
    PumpFor(dispatcher, 100);
    EXPECT_EQ(ended.size(), 1u);
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, BytesThatArriveDuringAHandlerAreDeliveredInTheSameTurn) {
    std::vector<std::string> got;
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        got.push_back(text);
        if (got.size() == 1) {
            // The peer answers while the handler still runs.
            pty.Write("B");
            pollfd device{p.Handle(), POLLIN, 0};
            ASSERT_EQ(::poll(&device, 1, 5000), 1);
        }
    };
    port.OpenPort();
    pty.Write("A");
    std::size_t ran = 0;
    for (int i = 0; i < 500 && ran == 0; ++i)
        ran = dispatcher.WaitAndRun(10);
    // One queued call ran both handlers, in order, on this thread.
    EXPECT_EQ(ran, 1u);
    EXPECT_EQ(got, (std::vector<std::string>{"A", "B"}));
    // The monitor finds nothing left to announce.
    PumpFor(dispatcher, 100);
    EXPECT_EQ(got.size(), 2u);
    pty.Write("C");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return got.size() == 3; }));
    EXPECT_EQ(got.back(), "C");
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, CloseCompletesADeliveryAlreadyUnderWay) {
    bool ran = false;
    bool connectedInHandler = false;
    port.OnRxChar = [&](TComPort& p, int) {
        ran = true;
        connectedInHandler = p.Connected();
    };
    port.OpenPort();
    pty.Write("q");
    // Let the monitor queue its delivery without running it.
    for (int i = 0; i < 2000 && dispatcher.QueuedCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(dispatcher.QueuedCount(), 1u);
    EXPECT_FALSE(ran);
    Watchdog dog(30, "ClosePort with a delivery under way");
    port.ClosePort();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(connectedInHandler);
    EXPECT_FALSE(port.Connected());
    EXPECT_TRUE(ended.empty());
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, CloseAskedForInsideAHandlerHappensWhenItReturns) {
    std::vector<std::string> log;
    port.OnAfterClose = [&](TComPort& p) { log.push_back(p.Handle() < 0 ? "AfterClose" : "AfterClose?"); };
    port.OnBeforeClose = [&](TComPort&) { log.push_back("BeforeClose"); };
    int written = -1;
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        log.push_back("handler");
        // The receiver's pause: the user's Disconnect runs inside it.
        dispatcher.Post([&] {
            log.push_back("click");
            p.ClosePort();
            log.push_back(p.Connected() ? "still connected" : "disconnected");
            try {
                p.OpenPort();
                log.push_back("reopened?");
            } catch (const EComPort& e) {
                log.push_back(e.SystemErrorCode() == EBUSY ? "busy" : e.what());
            }
        });
        PumpFor(dispatcher, 50);
        written = p.WriteText("ack");
        log.push_back("handler end");
    };
    port.OpenPort();
    Watchdog dog(30, "a close asked for inside a handler");
    pty.Write("frame");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return port.Handle() < 0; }));
    EXPECT_EQ(log, (std::vector<std::string>{"handler", "click", "BeforeClose", "disconnected", "busy",
                                             "handler end", "AfterClose"}));
    EXPECT_EQ(written, 3);
    EXPECT_FALSE(port.ThreadStarted());
    EXPECT_TRUE(ended.empty());
    EXPECT_TRUE(deferred.empty());
    // Opens again normally afterwards.
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, WhatAHandlerWritesBeforeItsCloseReachesTheLine) {
    // Exit or Disconnect during the receiver's pause: the acknowledgement is
    // written, then the close's purge runs at once. It must not take the
    // bytes back before they have left (the peer reads only afterwards).
    const std::string ack("\x33\x55\x50\x02\x00\x00\xDA", 7);
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        p.ClosePort();
        p.WriteText(ack);
    };
    Watchdog dog(60, "closes after an acknowledgement");
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        port.OpenPort();
        pty.Write("frame");
        ASSERT_TRUE(PumpUntil(dispatcher, [&] { return port.Handle() < 0; }));
        ASSERT_EQ(pty.Read(ack.size(), 1000), ack);
    }
    EXPECT_TRUE(ended.empty());
}

TEST_F(Monitor, QueueHoldsInputSizeBytesAndReportsWhatDidNotFit) {
    port.Buffer().SetInputSize(64);
    std::vector<std::string> log;
    port.OnRxChar = [&](TComPort&, int count) { log.push_back("Rx " + std::to_string(count)); };
    port.OnRx80Full = [&](TComPort&) { log.push_back("80%"); };
    port.OnError = [&](TComPort&, TComErrors e) {
        log.push_back(e == TComErrors{ceRxOver} ? "RxOver" : "other error");
    };
    auto count = [&](const std::string& entry) { return std::count(log.begin(), log.end(), entry); };
    port.OpenPort();
    std::string sent;
    for (int i = 0; i < 52; ++i)
        sent.push_back(static_cast<char>('A' + i % 26));
    pty.Write(sent.substr(0, 40));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return count("Rx 40") == 1; }));
    EXPECT_EQ(count("80%"), 0);
    pty.Write(sent.substr(40)); // 52 of 64: past 80 %
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return count("Rx 52") == 1 && count("80%") == 1; }));
    log.clear();
    pty.Write(std::string(30, 'z')); // 12 fit
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return count("RxOver") >= 1 && count("Rx 64") == 1; }));
    PumpFor(dispatcher, 50);
    EXPECT_EQ(count("80%"), 0);
    EXPECT_EQ(count("other error"), 0);
    std::string text;
    EXPECT_EQ(port.ReadText(text, 100), 64);
    EXPECT_EQ(text, sent + std::string(12, 'z'));
    EXPECT_TRUE(port.TakeLineErrors().Empty());
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, InputFlowControlLeavesWhatDoesNotFitWithTheDriver) {
    port.Buffer().SetInputSize(64);
    port.FlowControl().SetXonXoffIn(true);
    std::vector<int> counts;
    bool overrun = false;
    port.OnRxChar = [&](TComPort&, int count) { counts.push_back(count); };
    port.OnError = [&](TComPort&, TComErrors) { overrun = true; };
    port.OpenPort();
    std::string sent;
    for (int i = 0; i < 100; ++i)
        sent.push_back(static_cast<char>('a' + i % 26));
    pty.Write(sent);
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !counts.empty() && counts.back() == 64; }));
    PumpFor(dispatcher, 100);
    EXPECT_EQ(port.PendingInput(), 64);
    std::string text, all;
    port.ReadText(text, 64);
    all += text;
    // The rest comes in as there is room again.
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return port.PendingInput() == 36; }));
    port.ReadText(text, 64);
    all += text;
    EXPECT_EQ(all, sent);
    EXPECT_FALSE(overrun);
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, EventCharacterAndDroppedZerosAsTheyArrive) {
    port.SetEventChar('X');
    port.SetDiscardNull(true);
    std::vector<std::string> log;
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        log.push_back("Rx " + text);
    };
    port.OnRxFlag = [&](TComPort&) { log.push_back("Flag"); };
    port.OpenPort();
    pty.Write(std::string(4, '\0'));
    PumpFor(dispatcher, 150);
    EXPECT_TRUE(log.empty()); // nothing was received
    pty.Write("ab");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !log.empty(); }));
    pty.Write(std::string("c\0X", 3));
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return log.size() >= 3; }));
    PumpFor(dispatcher, 50);
    EXPECT_EQ(log, (std::vector<std::string>{"Rx ab", "Rx cX", "Flag"}));
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, HangUpIsOneMessageWhateverTheHandlerRaised) {
    // The handler answers each byte; the line goes away before its answer.
    std::atomic<bool> answered{false};
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        pty.CloseMaster();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        p.WriteText("ack");
        answered = true;
    };
    port.OpenPort();
    pty.Write("q");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return !ended.empty(); }));
    PumpFor(dispatcher, 50);
    EXPECT_EQ(ended, std::vector<std::string>{"ReadFile function failed (win error code: 5)"});
    EXPECT_FALSE(answered);
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, CloseAskedForByARaisingHandlerIsFinishedForEveryMethod) {
    for (TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
        PtyPeer line;
        TComPort p;
        p.SetDispatcher(&dispatcher);
        p.SetPort(line.Path());
        p.SetSyncMethod(method);
        std::vector<std::string> shown;
        p.OnDeferredError = [&](TComPort&, const std::string& m) { shown.push_back(m); };
        p.OnMonitorEnded = [&](TComPort&, const std::string& m) { shown.push_back("ended: " + m); };
        p.OnRxChar = [](TComPort& self, int) {
            self.ClosePort();
            throw 42; // not even a std::exception
        };
        p.OpenPort();
        Watchdog dog(30, "a close asked for by a raising handler");
        line.Write("x");
        ASSERT_TRUE(PumpUntil(dispatcher, [&] { return p.Handle() < 0; })) << method;
        PumpFor(dispatcher, 50);
        EXPECT_FALSE(p.Connected()) << method;
        EXPECT_FALSE(p.ThreadStarted()) << method;
        // Under smWindowSync the error is shown; elsewhere the close was asked for.
        EXPECT_EQ(shown, method == smWindowSync ? std::vector<std::string>{"Unknown error"}
                                                : std::vector<std::string>{})
            << method;
        p.OnRxChar = nullptr;
        EXPECT_NO_THROW(p.OpenPort()) << method;
        EXPECT_TRUE(p.Connected());
        p.ClosePort();
    }
}

TEST_F(Monitor, WindowSyncShowsHandlerErrorsAndGoesOn) {
    port.SetSyncMethod(smWindowSync);
    int calls = 0;
    port.OnRxChar = [&](TComPort& p, int count) {
        EXPECT_EQ(std::this_thread::get_id(), mainThread);
        std::string text;
        p.ReadText(text, count);
        if (++calls == 1)
            throw EComPort(CError_ReadFailed, 5);
    };
    port.OpenPort();
    pty.Write("a");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return calls == 1; }));
    EXPECT_EQ(deferred, std::vector<std::string>{"ReadFile function failed (win error code: 5)"});
    pty.Write("b");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return calls == 2; }));
    EXPECT_TRUE(port.MonitorRunning());
    EXPECT_TRUE(ended.empty());
    port.ClosePort(); // handlers use this body's locals
}

TEST_F(Monitor, NoSyncRunsHandlersOnTheMonitorThread) {
    port.SetSyncMethod(smNone);
    std::atomic<bool> called{false};
    std::atomic<bool> onMain{true};
    port.OnRxChar = [&](TComPort& p, int count) {
        onMain = std::this_thread::get_id() == mainThread;
        std::string text;
        p.ReadText(text, count);
        called = true;
    };
    port.OpenPort();
    pty.Write("n");
    // Nobody pumps: the handler still runs.
    for (int i = 0; i < 500 && !called; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(called);
    EXPECT_FALSE(onMain);
    port.ClosePort();
}

TEST_F(Monitor, NoSyncHandlersWriteWhileTheMainThreadCloses) {
    port.SetSyncMethod(smNone);
    std::atomic<int> calls{0};
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        p.WriteText(text); // echo; also wakes the monitor for TxEmpty
        ++calls;
    };
    port.OpenPort();
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop) {
            pty.Write("e");
            pty.Drain(1);
        }
    });
    while (calls < 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Watchdog dog(30, "closing while a monitor-thread handler writes");
    port.ClosePort();
    stop = true;
    peer.join();
    EXPECT_FALSE(port.Connected());
    EXPECT_TRUE(ended.empty());
}

TEST_F(Monitor, NoSyncCloseFromTheHandlerIsFinishedOnTheMainThread) {
    port.SetSyncMethod(smNone);
    std::atomic<bool> asked{false};
    port.OnRxChar = [&](TComPort& p, int) {
        p.ClosePort();
        asked = true;
    };
    port.OpenPort();
    Watchdog dog(30, "a close asked for on the monitor thread");
    pty.Write("c");
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return port.Handle() < 0; }));
    EXPECT_TRUE(asked);
    EXPECT_FALSE(port.ThreadStarted());
    EXPECT_TRUE(ended.empty());
}

TEST_F(Monitor, ManyFramesUnderLoad) {
    std::string received;
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        received += text;
    };
    // The peer writes as fast as the pty takes it: room for all of it.
    port.Buffer().SetInputSize(1 << 16);
    port.OpenPort();
    std::string sent;
    std::thread peer([&] {
        for (int i = 0; i < 2000; ++i) {
            const std::string chunk = "#" + std::to_string(i) + ";";
            pty.Write(chunk);
        }
    });
    for (int i = 0; i < 2000; ++i)
        sent += "#" + std::to_string(i) + ";";
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return received.size() >= sent.size(); }, 30000));
    peer.join();
    EXPECT_EQ(received, sent);
    port.ClosePort(); // handlers use this body's locals
}

} // namespace
