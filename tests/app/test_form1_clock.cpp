// The window against simulated clocks on pseudo-terminals.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <thread>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/widgets.h"
#include "clocklink/frame.h"
#include "tools/clock_sim.h"
#include "hand_clock.h"
#include "sim_clock.h"
#include "window_rig.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// Fails the test run loudly instead of hanging CI when a close deadlocks.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
    {
        thread_ = std::thread([this, limit] {
            const auto end = std::chrono::steady_clock::now() + limit;
            while (!done_) {
                if (std::chrono::steady_clock::now() > end) {
                    std::fprintf(stderr, "watchdog: the window did not come back (deadlock?)\n");
                    std::_Exit(3);
                }
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    ~Watchdog()
    {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

struct Program {
    Program() { SetUpProgram(); }
};

struct ClockTest : ::testing::Test, Program {
    FakePortTree ports;
    Watchdog watchdog{120s};
};

// The program's main loop, ended by the window (7 after limitMs). Nothing of
// it outlives the test: a timer or a quit left behind would end every later
// loop at once, a box's included.
int RunMainLoop(int limitMs)
{
    QObject safety;
    QTimer::singleShot(limitMs, &safety, [] { QCoreApplication::exit(7); });
    const int code = QCoreApplication::exec();
    // The window's close also posted a quit for the last window closed.
    QCoreApplication::removePostedEvents(QCoreApplication::instance(), QEvent::Quit);
    return code;
}

std::vector<std::string> Rows(const printout::PrintoutSheet& sheet)
{
    std::vector<std::string> rows;
    for (int i = 0; i < sheet.RowCount(); ++i)
        rows.emplace_back(sheet.RowText(i));
    return rows;
}

void ExpectIdleOrRelayDisconnected(app::TForm1& form)
{
    EXPECT_EQ(form.Button1->text(), "Connect K7 (Loft)");
    EXPECT_FALSE(form.GroupBox2->isHidden());
    EXPECT_EQ(form.BitBtn1->text(), "Connect");
    EXPECT_TRUE(form.ComboBox1->isEnabled());
    EXPECT_TRUE(form.lbl_p3_connected->text().isEmpty());
    EXPECT_TRUE(form.lbl_k7_on_comport->text().isEmpty());
    EXPECT_FALSE(form.BitBtn2->isEnabled());
    EXPECT_FALSE(form.BitBtn4->isEnabled());
    EXPECT_FALSE(form.ComPort1.Connected());
}

void ExpectRelayConnected(app::TForm1& form, const QString& port)
{
    EXPECT_EQ(form.Button1->text(), "Connect K7 (Loft)");
    EXPECT_FALSE(form.GroupBox2->isHidden());
    EXPECT_EQ(form.BitBtn1->text(), "Disconnect");
    EXPECT_FALSE(form.ComboBox1->isEnabled());
    EXPECT_EQ(form.lbl_p3_connected->text(), "Pigeon clock connected on " + port);
    EXPECT_TRUE(form.lbl_k7_on_comport->text().isEmpty());
    EXPECT_TRUE(form.BitBtn2->isEnabled());
    EXPECT_TRUE(form.BitBtn4->isEnabled());
    EXPECT_TRUE(form.ComPort1.Connected());
}

void ExpectLoftConnected(app::TForm1& form, const QString& port)
{
    EXPECT_EQ(form.Button1->text(), "Disconnect K7");
    EXPECT_TRUE(form.GroupBox2->isHidden());
    EXPECT_EQ(form.BitBtn1->text(), "Disconnect");
    EXPECT_FALSE(form.ComboBox1->isEnabled());
    EXPECT_EQ(form.lbl_p3_connected->text(), "Pigeon clock connected on " + port);
    EXPECT_EQ(form.lbl_k7_on_comport->text(), "Corvan K7 connected on " + port);
    EXPECT_TRUE(form.BitBtn2->isEnabled());
    EXPECT_TRUE(form.BitBtn4->isEnabled());
    EXPECT_TRUE(form.ComPort1.Connected());
    EXPECT_EQ(form.ComboBox1->currentText(), port);
}

clocksim::Options Printout(std::vector<std::string> lines)
{
    clocksim::Options options;
    options.printout = std::move(lines);
    options.settleMs = 50;
    return options;
}

} // namespace

TEST_F(ClockTest, RelayModeReceivesTheSamplePrintoutWithEveryAcknowledgement)
{
    clocksim::Options options;
    options.settleMs = 50;
    SimClock clock(options);
    ports.Add("ttyUSB0", clock.Path());
    app::TForm1 form;
    form.show();
    ExpectIdleOrRelayDisconnected(form);

    form.BitBtn1->click();
    ExpectRelayConnected(form, "ttyUSB0");
    ASSERT_TRUE(RunEventsUntil([&] { return clock.Stats().printoutsCompleted >= 1; }, 60000));

    const clocksim::Stats stats = clock.Stats();
    std::vector<std::string> expected{"@"};
    for (const std::string& row : clocksim::ExpectedRows(clocksim::SamplePrintout()))
        expected.push_back(row);
    EXPECT_EQ(Rows(form.Sheet()), expected);
    EXPECT_EQ(stats.acksReceived, static_cast<long>(clocksim::SamplePrintout().size()));
    EXPECT_EQ(stats.acksWrong, 0);
    EXPECT_EQ(stats.framesResent, 0);
    ASSERT_FALSE(stats.ackLatenciesMs.empty());
    for (double ms : stats.ackLatenciesMs)
        EXPECT_GE(ms, 50.0);
    EXPECT_EQ(form.Shape1->BrushColor(), QColor(0, 255, 0));
    EXPECT_EQ(form.Sheet().CurrentRow(), form.Sheet().RowCount() - 1);

    // Disconnect: the printout stays, but can only be looked at.
    form.BitBtn1->click();
    ExpectIdleOrRelayDisconnected(form);
    EXPECT_EQ(Rows(form.Sheet()), expected);

    // Connecting again starts from a fresh sheet.
    form.BitBtn1->click();
    ExpectRelayConnected(form, "ttyUSB0");
    EXPECT_EQ(form.Sheet().RowCount(), 1);
    form.BitBtn1->click();
}

TEST_F(ClockTest, ClearScreenWhileConnectedKeepsTheConnectionAndTheLamp)
{
    SimClock clock(Printout({"first", "second"}));
    ports.Add("ttyUSB0", clock.Path());
    app::TForm1 form;
    form.BitBtn1->click();
    ASSERT_TRUE(RunEventsUntil([&] { return form.Sheet().RowCount() == 3; }));
    const QColor lamp = form.Shape1->BrushColor();
    form.BitBtn4->click();
    EXPECT_EQ(form.Sheet().RowCount(), 1);
    ExpectRelayConnected(form, "ttyUSB0");
    EXPECT_EQ(form.Shape1->BrushColor(), lamp);
    form.BitBtn1->click();
}

TEST_F(ClockTest, LoftScanProbesInOrderAndStopsAtTheFirstClock)
{
    QuietLine quiet;
    ports.Add("ttyS_quiet", quiet.path); // a port without a clock
    SimClock second(Printout({"loft line"}));
    SimClock third(Printout({"never"}));
    ports.Add("ttyUSB1", second.Path());
    ports.Add("ttyUSB2", third.Path());
    app::TForm1 form;
    form.show();

    form.Button1->click();
    ExpectLoftConnected(form, "ttyUSB1");
    EXPECT_EQ(form.ComPort1.Port(), "ttyUSB1");
    EXPECT_EQ(second.Stats().probesAnswered, 1);
    EXPECT_EQ(third.Stats().probesAnswered, 0);
    ASSERT_TRUE(RunEventsUntil([&] { return form.Sheet().RowCount() == 2; }));
    EXPECT_EQ(form.Sheet().RowText(1), "loft line");

    // Second press disconnects; the printout can still be printed or cleared.
    form.Button1->click();
    EXPECT_EQ(form.Button1->text(), "Connect K7 (Loft)");
    EXPECT_FALSE(form.GroupBox2->isHidden());
    EXPECT_EQ(form.BitBtn1->text(), "Connect");
    EXPECT_TRUE(form.BitBtn1->isEnabled());
    EXPECT_TRUE(form.ComboBox1->isEnabled());
    EXPECT_TRUE(form.lbl_p3_connected->text().isEmpty());
    EXPECT_TRUE(form.lbl_k7_on_comport->text().isEmpty());
    EXPECT_TRUE(form.BitBtn2->isEnabled());
    EXPECT_TRUE(form.BitBtn4->isEnabled());
    EXPECT_FALSE(form.ComPort1.Connected());
    EXPECT_EQ(form.Sheet().RowCount(), 2);
    form.BitBtn4->click();
    EXPECT_EQ(form.Sheet().RowCount(), 1);

    // Third press scans again.
    form.Button1->click();
    ExpectLoftConnected(form, "ttyUSB1");
    form.Button1->click();
}

TEST_F(ClockTest, LoftScanWithNoPortsShowsTheDialogAndChangesNothing)
{
    app::TForm1 form;
    BoxAnswerer boxes;
    form.Button1->click();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "No TAVELIN Corvan K7 found!");
    EXPECT_EQ(boxes.seen[0].title, "Quillprint");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(boxes.seen[0].buttons, 1);
    ExpectIdleOrRelayDisconnected(form);
}

TEST_F(ClockTest, LoftScanWithoutAPortListShowsOnlyTheRegistryError)
{
    SimClock clock;
    ports.Add("ttyUSB0", clock.Path());
    app::TForm1 form;
    ASSERT_EQ(form.ComboBox1->currentText(), "ttyUSB0");
    ports.RemoveList();
    BoxAnswerer boxes;
    form.Button1->click();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "Registry error (win error code: 2)");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(form.ComboBox1->count(), 0);
    EXPECT_EQ(form.ComboBox1->currentText(), "ttyUSB0"); // the shown text stays
    EXPECT_EQ(clock.Stats().probesAnswered, 0);
    ExpectIdleOrRelayDisconnected(form);
}

TEST_F(ClockTest, LoftScanWhileRelayConnectedReconnectsFreshOnTheSamePort)
{
    SimClock clock(Printout({"before the scan"}));
    ports.Add("ttyUSB0", clock.Path());
    app::TForm1 form;
    form.BitBtn1->click();
    ASSERT_TRUE(RunEventsUntil([&] { return form.Sheet().RowCount() == 2; }));

    form.Button1->click();
    ExpectLoftConnected(form, "ttyUSB0");
    EXPECT_EQ(clock.Stats().probesAnswered, 1);
    // The sheet was reset by the fresh connection; the clock then plays again.
    ASSERT_TRUE(RunEventsUntil([&] { return form.Sheet().RowCount() >= 2; }));
    EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "before the scan"}));
    form.Button1->click();
}

TEST_F(ClockTest, DisconnectDuringTheAcknowledgementPauseDoesNotBlock)
{
    for (bool loft : {false, true}) {
        SCOPED_TRACE(loft ? "loft" : "relay");
        SimClock clock(Printout({"one", "two", "three"}));
        FakePortTree tree;
        tree.Add("ttyUSB0", clock.Path());
        app::TForm1 form;
        if (loft)
            form.Button1->click();
        else
            form.BitBtn1->click();
        ASSERT_TRUE(form.ComPort1.Connected());

        // The row is appended right before the pause: press Disconnect then,
        // from inside the pause.
        QPushButton* toggle = loft ? form.Button1 : form.BitBtn1;
        bool pressed = false;
        qint64 pressMs = -1;
        QTimer poll;
        poll.setInterval(1);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (pressed || form.Sheet().RowCount() < 2)
                return;
            pressed = true;
            QElapsedTimer clock;
            clock.start();
            toggle->click();
            pressMs = clock.elapsed();
        });
        poll.start();
        ASSERT_TRUE(RunEventsUntil([&] { return pressed; }));
        poll.stop();
        EXPECT_LT(pressMs, 1000);
        RunEventsFor(200);
        EXPECT_FALSE(form.ComPort1.Connected());
        EXPECT_EQ(form.BitBtn1->text(), "Connect");
        EXPECT_EQ(form.Button1->text(), "Connect K7 (Loft)");
        EXPECT_EQ(form.Sheet().RowText(1), "one");
    }
}

TEST_F(ClockTest, UserInputInsideThePauseRunsAfterTheReceiver)
{
    {
        SCOPED_TRACE("loft press while relay-connected to the loft clock");
        SimClock clock(Printout({"one", "two", "three"}));
        FakePortTree tree;
        tree.Add("ttyUSB0", clock.Path());
        app::TForm1 form;
        form.show();
        form.BitBtn1->click();
        BoxAnswerer boxes;
        // Pressed in the last line's pause: a clock with more to print sends
        // its next line as the acknowledgement reaches it, right into the
        // port's close, and a pty keeps such a line for the probe.
        InPause(form, 4, [&] { UserClick(form.Button1); });
        ASSERT_TRUE(RunEventsUntil([&] { return form.Button1->text() == "Disconnect K7" || !boxes.seen.empty(); }));
        ExpectLoftConnected(form, "ttyUSB0");
        EXPECT_TRUE(boxes.seen.empty());
        EXPECT_EQ(clock.Stats().probesAnswered, 1);
        form.Button1->click();
    }
    {
        SCOPED_TRACE("Disconnect inside the pause: the acknowledgement goes out, then the port closes");
        HandClock clock;
        FakePortTree tree;
        tree.Add("ttyUSB0", clock.Path());
        app::TForm1 form;
        form.show();
        form.BitBtn1->click();
        clock.Send(HandClock::Line("one"));
        InPause(form, 2, [&] {
            UserClick(form.BitBtn1);
            EXPECT_TRUE(form.ComPort1.Connected()); // not yet
            EXPECT_EQ(clock.Acks(), 0);
        });
        ASSERT_TRUE(RunEventsUntil([&] { return !form.ComPort1.Connected(); }));
        ExpectIdleOrRelayDisconnected(form);
        EXPECT_TRUE(RunEventsUntil([&] { return clock.Acks() == 1; }, 2000));
        EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "one"}));
    }
}

TEST_F(ClockTest, PrintWithItsErrorBoxInsideThePauseHoldsNoAcknowledgementBack)
{
    // No printer can be reached; the user reads the error box for a second,
    // longer than the clock waits for an acknowledgement.
    ::setenv("CUPS_SERVER", "/nonexistent/quillprint-cups.sock", 1);
    clocksim::Options options = Printout({"one", "two", "three"});
    options.ackTimeoutMs = 600; // still well below the second the box stays open
    SimClock clock(options);
    ports.Add("ttyUSB0", clock.Path());
    app::TForm1 form;
    form.show();
    form.BitBtn1->click();
    BoxAnswerer boxes(1000);
    // Two lines make a page worth printing.
    InPause(form, 3, [&] { UserClick(form.BitBtn2); });
    const bool done = RunEventsUntil([&] { return clock.Stats().printoutsCompleted >= 1 && !boxes.seen.empty(); });
    ::unsetenv("CUPS_SERVER");
    ASSERT_TRUE(done) << boxes.seen.size() << " boxes, " << clock.Stats().acksReceived << " acks, rows " << form.Sheet().RowCount();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
    const clocksim::Stats stats = clock.Stats();
    EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "one", "two", "three"}));
    EXPECT_EQ(stats.acksReceived, 3);
    EXPECT_EQ(stats.framesResent, 0);
    EXPECT_EQ(stats.acksWrong + stats.acksUnexpected, 0);
    form.BitBtn1->click();
}

TEST_F(ClockTest, EveryConnectionStartsWithACleanReceiver)
{
    HandClock clock;
    ports.Add("ttyUSB0", clock.Path());
    app::TForm1 form;
    form.BitBtn1->click();
    // A frame announcing 255 payload bytes, cut off after three.
    clock.Send(std::string("\x6C\x55\x50\xFF" "abc", 7));
    ASSERT_TRUE(RunEventsUntil([&] { return form.Receiver().Parser().State() == clocklink::ParserState::InPayload; }));
    form.BitBtn1->click();
    form.BitBtn1->click();
    ASSERT_TRUE(form.ComPort1.Connected());
    for (const char* text : {"first", "second", "third"})
        clock.Send(HandClock::Line(text));
    ASSERT_TRUE(RunEventsUntil([&] { return clock.Acks() == 3; }));
    EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "first", "second", "third"}));
    form.BitBtn1->click();
}

TEST_F(ClockTest, APulledCableIsWaitedForAndThePrintoutGoesOnInTheSameSheet)
{
    auto clock = std::make_unique<HandClock>();
    ports.Add("ttyUSB0", clock->Path());
    app::TForm1 form;
    form.show();
    form.BitBtn1->click();
    for (const char* text : {"line 1", "line 2"})
        clock->Send(HandClock::Line(text));
    ASSERT_TRUE(RunEventsUntil([&] { return clock->Acks() == 2; }));
    // Line 3 is cut off by the pull: the clock never got its acknowledgement.
    clock->Send(HandClock::Line("line 3").substr(0, 6));
    ASSERT_TRUE(RunEventsUntil([&] { return form.Receiver().Parser().State() == clocklink::ParserState::InPayload; }));

    BoxAnswerer boxes;
    clock->Unplug();
    fs::remove(ports.DevPath("ttyUSB0"));
    ASSERT_TRUE(RunEventsUntil([&] { return !boxes.seen.empty(); }));
    EXPECT_EQ(boxes.seen[0].text, "ReadFile function failed (win error code: 5)");
    EXPECT_EQ(form.ComPort1.Handle(), -1); // the device is given up at once
    EXPECT_TRUE(form.LineLost());
    EXPECT_EQ(form.BitBtn1->text(), "Disconnect");
    EXPECT_FALSE(form.ComboBox1->isEnabled());
    EXPECT_TRUE(form.BitBtn2->isEnabled());
    EXPECT_TRUE(form.BitBtn4->isEnabled());
    EXPECT_EQ(form.lbl_p3_connected->text(), "Line lost on ttyUSB0, waiting");
    // Wholly inside its group box, which cuts off what sticks out.
    EXPECT_LE(form.lbl_p3_connected->geometry().right(), form.GroupBox2->contentsRect().right());
    EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "line 1", "line 2"}));

    // Plugged in again: a new device under the same name.
    clock = std::make_unique<HandClock>();
    fs::create_symlink(clock->Path(), ports.DevPath("ttyUSB0"));
    ASSERT_TRUE(RunEventsUntil([&] { return form.ComPort1.Connected(); }));
    ExpectRelayConnected(form, "ttyUSB0");
    EXPECT_FALSE(form.LineLost());
    // The clock sends again what was not acknowledged, and goes on.
    for (const char* text : {"line 3", "line 4"})
        clock->Send(HandClock::Line(text));
    ASSERT_TRUE(RunEventsUntil([&] { return clock->Acks() == 2; }));
    EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "line 1", "line 2", "line 3", "line 4"}));
    EXPECT_EQ(boxes.seen.size(), 1u);

    // Disconnect while waiting is a plain disconnect; nothing reopens later.
    clock->Unplug();
    fs::remove(ports.DevPath("ttyUSB0"));
    ASSERT_TRUE(RunEventsUntil([&] { return form.LineLost(); }));
    form.BitBtn1->click();
    ExpectIdleOrRelayDisconnected(form);
    clock = std::make_unique<HandClock>();
    fs::create_symlink(clock->Path(), ports.DevPath("ttyUSB0"));
    RunEventsFor(300);
    EXPECT_FALSE(form.ComPort1.Connected());
    EXPECT_EQ(form.Sheet().RowCount(), 5);
}

TEST_F(ClockTest, ALineThatHangsUpIsReportedInTheErrorBox)
{
    auto clock = std::make_unique<SimClock>(Printout({"last words"}));
    ports.Add("ttyUSB0", clock->Path());
    app::TForm1 form;
    form.BitBtn1->click();
    ASSERT_TRUE(RunEventsUntil([&] { return form.Sheet().RowCount() == 2; }));
    BoxAnswerer boxes;
    clock.reset(); // the adapter is pulled: the line hangs up
    ASSERT_TRUE(RunEventsUntil([&] { return !boxes.seen.empty(); }));
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "ReadFile function failed (win error code: 5)");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
    // The device is given up, the window stays connected and waits; the
    // user's Disconnect still works.
    EXPECT_EQ(form.ComPort1.Handle(), -1);
    EXPECT_EQ(form.BitBtn1->text(), "Disconnect");
    form.BitBtn1->click();
    ExpectIdleOrRelayDisconnected(form);
    EXPECT_EQ(boxes.seen.size(), 1u);
}

TEST_F(ClockTest, TheWindowManagersCloseInsideThePauseEndsCleanlyAfterTheAcknowledgement)
{
    // One line: a second one sent as the acknowledgement arrives may still be
    // taken in and acknowledged while the closing port lets its last
    // delivery finish.
    SimClock clock(Printout({"one"}));
    ports.Add("ttyUSB0", clock.Path());
    auto form = std::make_unique<app::TForm1>();
    form->show();
    form->BitBtn1->click();
    QTimer poll;
    poll.setInterval(1);
    bool asked = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (asked || form->Sheet().RowCount() < 2)
            return;
        asked = true;
        form->windowHandle()->close(); // as the frame's close button does
    });
    poll.start();
    EXPECT_EQ(RunMainLoop(10000), 0);
    EXPECT_TRUE(asked);
    form.reset();
    for (int i = 0; i < 200 && clock.Stats().acksReceived < 1; ++i)
        std::this_thread::sleep_for(5ms);
    const clocksim::Stats stats = clock.Stats();
    EXPECT_EQ(stats.acksReceived, 1);
    // The close waited for the whole pause rather than cutting it short.
    ASSERT_EQ(stats.ackLatenciesMs.size(), 1u);
    EXPECT_GE(stats.ackLatenciesMs[0], 50.0);
}

TEST_F(ClockTest, ClosingTheWindowWhileConnectedClosesThePort)
{
    SimClock clock(Printout({"line"}));
    ports.Add("ttyUSB0", clock.Path());
    auto form = std::make_unique<app::TForm1>();
    form->show();
    form->BitBtn1->click();
    ASSERT_TRUE(form->ComPort1.Connected());
    const int fd = form->ComPort1.Handle();
    ASSERT_GE(fd, 0);
    struct stat line {};
    ASSERT_EQ(::fstat(fd, &line), 0);

    // The frame's close button is Exit: the main loop ends.
    QTimer::singleShot(50, form.get(), [&] { form->close(); });
    EXPECT_EQ(RunMainLoop(5000), 0);
    form.reset(); // destroying the window closes the port
    // The descriptor is gone, or its number already serves something else.
    struct stat now {};
    const bool stillTheLine = ::fstat(fd, &now) == 0 && now.st_rdev == line.st_rdev && now.st_ino == line.st_ino;
    EXPECT_FALSE(stillTheLine);
}
