// TComPort inside a Qt program: handlers run from the event loop, and a
// disconnect clicked during the receiver's pause never blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include "app/comport_dispatch_qt.h"
#include "app/pause.h"
#include "pty_peer.h"
#include "serial/comport.h"
#include "serial/dispatcher.h"

using namespace serial;
using namespace serial_test;

namespace {

bool SpinUntil(const std::function<bool()>& pred, int timeoutMs = 10000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

class QtDispatch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test_serial_qt";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
    void SetUp() override {
        dispatcher.MakeDefault();
        port.SetPort(pty.Path());
    }
    void TearDown() override { port.ClosePort(); }

    PtyPeer pty;
    app::ComPortDispatcherQt dispatcher;
    TComPort port;
};

TEST_F(QtDispatch, HandlersRunFromTheEventLoop) {
    EXPECT_EQ(&port.Dispatcher(), &dispatcher);
    std::string received;
    port.OnRxChar = [&](TComPort& p, int count) {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
        std::string text;
        p.ReadText(text, count);
        received += text;
    };
    port.OpenPort();
    pty.Write("over qt");
    ASSERT_TRUE(SpinUntil([&] { return received == "over qt"; }));
    port.ClosePort();
}

TEST_F(QtDispatch, DisconnectDuringThePauseNeverBlocks) {
    int written = -1;
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        // The user's Disconnect arrives while the receiver waits.
        QTimer::singleShot(10, [&p] { p.ClosePort(); });
        app::DelayProcessingMessages(50);
        written = p.WriteText("ack");
    };
    port.OpenPort();
    Watchdog dog(30, "disconnect during the pause under Qt");
    pty.Write("frame");
    ASSERT_TRUE(SpinUntil([&] { return port.Handle() < 0; }));
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(written, 3);
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
    port.ClosePort();
}

TEST_F(QtDispatch, AnotherPortIsServedInsideAHandlersNestedLoop) {
    PtyPeer otherPty;
    TComPort other;
    other.SetPort(otherPty.Path());
    bool otherRan = false;
    bool sawOtherInside = false;
    other.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        otherRan = true;
    };
    port.OnRxChar = [&](TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        // A modal box or the receiver's pause: the other port's bytes
        // must still be handled meanwhile.
        otherPty.Write("2");
        sawOtherInside = SpinUntil([&] { return otherRan; }, 5000);
    };
    port.OpenPort();
    other.OpenPort();
    pty.Write("1");
    ASSERT_TRUE(SpinUntil([&] { return otherRan; }));
    EXPECT_TRUE(sawOtherInside);
    other.ClosePort();
    port.ClosePort();
}

TEST_F(QtDispatch, EachArrivalIsOneDeliveryThatTakesWhatCameMeanwhile) {
    std::vector<std::string> seen;
    int depth = 0, deepest = 0;
    port.OnRxChar = [&](TComPort& p, int count) {
        deepest = std::max(deepest, ++depth);
        std::string text;
        p.ReadText(text, count);
        seen.push_back(text);
        if (text == "A") {
            // The peer answers while a nested loop runs (a box, the pause):
            // no handler of this port runs inside it.
            pty.Write("B");
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 100)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            // Queued behind this delivery, before any the monitor could
            // queue once it has ended.
            dispatcher.Post([&] { seen.push_back("later"); });
        }
        --depth;
    };
    port.OpenPort();
    pty.Write("A");
    ASSERT_TRUE(SpinUntil([&] { return seen.size() >= 3; }));
    // What came during the handler follows it in the same delivery.
    EXPECT_EQ(seen, (std::vector<std::string>{"A", "B", "later"}));
    pty.Write("C");
    ASSERT_TRUE(SpinUntil([&] { return seen.size() >= 4; }));
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(seen, (std::vector<std::string>{"A", "B", "later", "C"}));
    EXPECT_EQ(deepest, 1);
    port.ClosePort();
}

TEST_F(QtDispatch, MonitorEndIsReportedThroughTheEventLoop) {
    std::vector<std::string> ended;
    port.OnMonitorEnded = [&](TComPort&, const std::string& m) { ended.push_back(m); };
    port.OpenPort();
    pty.CloseMaster();
    ASSERT_TRUE(SpinUntil([&] { return !ended.empty(); }));
    EXPECT_EQ(ended, std::vector<std::string>{"ReadFile function failed (win error code: 5)"});
    port.ClosePort();
}

TEST_F(QtDispatch, CloseWaitsForTheMonitorInTheApplicationsWait) {
    int waits = 0;
    dispatcher.SetWaiter([&](const std::function<bool()>& done) {
        ++waits;
        app::ProcessMessagesUntil(done);
    });
    int emptied = 0;
    port.OnTxEmpty = [&](TComPort&) { ++emptied; };
    port.OpenPort();
    port.WriteText("x");
    // The monitor's delivery is queued but not run when the close starts.
    Watchdog dog(30, "close with a delivery under way");
    while (dispatcher.QueuedCount() == 0)
        QThread::msleep(1);
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    port.ClosePort();
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(emptied, 1);
    EXPECT_TRUE(timerRan); // the rest of the event loop goes on meanwhile
}

} // namespace
