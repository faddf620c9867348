// A lost line comes back: the window reopens its port by itself, when it is
// the same device.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>
#include <memory>

#include "app/printout_keeper.h"
#include "app/widgets.h"
#include "hand_clock.h"
#include "printout/printout_reader.h"
#include "tests/printout/temp_dir.h"
#include "window_rig.h"

using namespace testing_support;

namespace {

// A USB adapter with the clock behind it: a pty whose slave the window opens.
struct Adapter {
    int master = -1;
    std::string path;
    Adapter()
    {
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            std::abort();
        path = ::ttyname(slave);
        ::close(slave);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
    }
    ~Adapter() { ::close(master); } // pulled: the line hangs up
};

// Runs action once, from the event loop (also inside a box), when ready().
void When(QObject* owner, std::function<bool()> ready, std::function<void()> action)
{
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, ready, action] {
        if (!ready())
            return;
        poll->stop();
        action();
    });
    poll->start(5);
}

std::vector<std::string> Rows(const printout::PrintoutSheet& sheet)
{
    std::vector<std::string> rows;
    for (int i = 0; i < sheet.RowCount(); ++i)
        rows.emplace_back(sheet.RowText(i));
    return rows;
}

QMessageBox* OpenErrorBox()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    return box && box->objectName() == "ErrorBox" ? box : nullptr;
}

} // namespace

TEST(LostLine, ANameBackButHeldElsewhereIsTriedAgainAndTheBoxClosesItself)
{
    SetUpProgram();
    FakePortTree ports;
    auto adapter = std::make_unique<Adapter>();
    ports.Add("ttyUSB0", adapter->path);
    app::TForm1 form;
    form.show();
    form.BitBtn1->click();
    ASSERT_TRUE(form.ComPort1.Connected());

    // Plugged in again while another program holds the new node; then nothing
    // changes in the folder until that program lets go.
    Adapter again;
    BoxAnswerer lateUser(15000); // only if the box stays open
    int holder = -1;
    bool openedWhileHeld = true, letGo = false;
    QObject steps;
    When(&steps, [&] { return OpenErrorBox() && form.LineLost(); }, [&] {
        EXPECT_EQ(form.Shape1->BrushColor(), QColor(Qt::white));
        holder = ::open(again.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        fs::remove(ports.DevPath("ttyUSB0"));
        fs::create_symlink(again.path, ports.DevPath("ttyUSB0"));
        QTimer::singleShot(300, &steps, [&] {
            openedWhileHeld = form.ComPort1.Connected();
            ::close(holder);
            letGo = true;
        });
    });
    adapter.reset();
    ASSERT_TRUE(RunEventsUntil([&] { return letGo && form.ComPort1.Connected() && !OpenErrorBox(); }, 20000));
    EXPECT_FALSE(openedWhileHeld);
    EXPECT_TRUE(lateUser.seen.empty());
    EXPECT_FALSE(form.LineLost());
    EXPECT_EQ(form.lbl_p3_connected->text(), "Pigeon clock connected on ttyUSB0");
    form.BitBtn1->click();
}

TEST(LostLine, AByIdFolderThatComesBackAtOnceIsReopened)
{
    SetUpProgram();
    FakePortTree ports;
    char pattern[] = "/tmp/quillprint-by-id-XXXXXX";
    const fs::path root = ::mkdtemp(pattern);
    const fs::path folder = root / "by-id";
    const std::string link = (folder / "usb-clock-if00").string();
    fs::create_directory(folder);
    auto adapter = std::make_unique<Adapter>();
    ports.Add("ttyUSB0", adapter->path);
    fs::create_symlink(ports.DevPath("ttyUSB0"), link);
    app::TForm1 form;
    form.ComboBox1->setEditText(QString::fromStdString(link));
    form.BitBtn1->click();
    ASSERT_TRUE(form.ComPort1.Connected());

    BoxAnswerer boxes;
    Adapter again;
    QObject steps;
    bool back = false;
    When(&steps, [&] { return form.LineLost(); }, [&] {
        // The folder goes with the device and is back before any look.
        fs::remove_all(folder);
        fs::remove(ports.DevPath("ttyUSB0"));
        fs::create_symlink(again.path, ports.DevPath("ttyUSB0"));
        fs::create_directory(folder);
        fs::create_symlink(ports.DevPath("ttyUSB0"), link);
        back = true;
    });
    adapter.reset();
    EXPECT_TRUE(RunEventsUntil([&] { return back && form.ComPort1.Connected() && !form.LineLost(); }, 20000));
    EXPECT_EQ(boxes.seen.size(), 1u);
    form.BitBtn1->click();
    fs::remove_all(root);
}

TEST(LostLine, ACablePulledInsideThePauseKeepsTheResentLineOnceInTheSheetAndTheFile)
{
    SetUpProgram();
    testing_files::TempDir home("quillprint-resend");
    ::setenv("XDG_DATA_HOME", home.path.c_str(), 1);
    FakePortTree ports;
    auto clock = std::make_unique<HandClock>();
    ports.Add("ttyUSB0", clock->Path());
    {
        app::TForm1 form;
        app::TPrintoutKeeper keeper(form);
        form.show();
        BoxAnswerer boxes;
        form.BitBtn1->click();
        ASSERT_TRUE(form.ComPort1.Connected());
        clock->Send(HandClock::Line("one"));
        ASSERT_TRUE(RunEventsUntil([&] { return clock->Acks() == 1; }));
        // Pulled after the row of "two" is kept, before its acknowledgement.
        clock->Send(HandClock::Line("two"));
        InPause(form, 3, [&] {
            clock->Unplug();
            fs::remove(ports.DevPath("ttyUSB0"));
        });
        ASSERT_TRUE(RunEventsUntil([&] { return form.LineLost() && form.Receiver().RowUnacknowledged(); }));

        clock = std::make_unique<HandClock>();
        fs::create_symlink(clock->Path(), ports.DevPath("ttyUSB0"));
        ASSERT_TRUE(RunEventsUntil([&] { return form.ComPort1.Connected(); }, 20000));
        // The clock never had the acknowledgement of "two": it sends it again.
        clock->Send(HandClock::Line("two"));
        clock->Send(HandClock::Line("three"));
        ASSERT_TRUE(RunEventsUntil([&] { return clock->Acks() == 2; }));
        EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "one", "two", "three"}));
        EXPECT_FALSE(form.Receiver().RowUnacknowledged());
        EXPECT_EQ(boxes.seen.size(), 1u); // the line's failure, and no failed write
        form.BitBtn1->click();
    }
    ::unsetenv("XDG_DATA_HOME");
    const std::vector<fs::path> files(fs::directory_iterator(home.path / "quillprint/printouts"), {});
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(printout::ReadPrintoutFile(files[0].string()).rows, (std::vector<std::string>{"one", "two", "three"}));
}

TEST(LostLine, APseudoTerminalThatClosesEndsTheLineAndIsNotTakenBackUnderItsNumber)
{
    SetUpProgram();
    FakePortTree ports;
    testing_files::TempDir links("quillprint-link");
    const std::string link = (links.path / "clock").string(); // as the simulator links its pty
    auto clock = std::make_unique<HandClock>();
    fs::create_symlink(clock->Path(), link);
    app::TForm1 form;
    form.show();
    form.ComboBox1->setEditText(QString::fromStdString(link));
    form.BitBtn1->click();
    ASSERT_TRUE(form.ComPort1.Connected());
    clock->Send(HandClock::Line("mine"));
    ASSERT_TRUE(RunEventsUntil([&] { return clock->Acks() == 1; }));

    BoxAnswerer boxes;
    const std::string number = clock->Path();
    clock->Unplug();
    ASSERT_TRUE(RunEventsUntil([&] { return !boxes.seen.empty(); }));
    EXPECT_EQ(boxes.seen[0].text, "ReadFile function failed (win error code: 5)");
    EXPECT_EQ(boxes.seen[0].hint.toStdString(),
              "The other side of " + link +
                  " closed, so this line has ended. Quillprint does not reopen such a line by itself: the next one "
                  "under that name may be somebody else's. Connect again once the clock's line is back.");
    EXPECT_FALSE(form.LineLost());
    EXPECT_FALSE(form.ComPort1.Connected());
    EXPECT_EQ(form.BitBtn1->text(), "Connect");
    EXPECT_TRUE(form.ComboBox1->isEnabled());
    EXPECT_TRUE(form.lbl_p3_connected->text().isEmpty());
    EXPECT_TRUE(form.BitBtn2->isEnabled()); // what came stays printable
    EXPECT_EQ(form.Shape1->BrushColor(), QColor(Qt::white));
    EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "mine"}));

    // The next pseudo-terminal (a terminal window, say) gets a number, most
    // often the same one, and the link is made again: nobody opens it.
    auto stranger = std::make_unique<HandClock>();
    std::printf("old line %s, new one %s\n", number.c_str(), stranger->Path().c_str());
    fs::remove(link);
    fs::create_symlink(stranger->Path(), link);
    RunEventsFor(2500); // past two retries of a lost line
    EXPECT_FALSE(form.ComPort1.Connected());
    stranger->Send(HandClock::Line("not mine"));
    RunEventsFor(200);
    EXPECT_EQ(stranger->Acks(), 0);
    EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "mine"}));
    EXPECT_EQ(boxes.seen.size(), 1u);

    // The user connects again, on purpose.
    form.BitBtn1->click();
    ASSERT_TRUE(form.ComPort1.Connected());
    form.BitBtn1->click();
}

TEST(LostLine, AnotherAdapterUnderTheNameStaysClosedAndTheClocksOwnIsTakenBack)
{
    SetUpProgram();
    FakePortTree ports;
    auto adapter = std::make_unique<HandClock>();
    ports.Add("ttyUSB0", adapter->Path());
    app::TForm1 form;
    form.show();
    BoxAnswerer boxes;
    form.BitBtn1->click();
    ASSERT_TRUE(form.ComPort1.Connected());
    adapter->Unplug();
    fs::remove(ports.DevPath("ttyUSB0"));
    ASSERT_TRUE(RunEventsUntil([&] { return form.LineLost(); }));

    // Another adapter (its own serial number) is plugged in and gets the name.
    HandClock other;
    ports.PlugAdapter("ttyUSB0", "FT0THER");
    fs::create_symlink(other.Path(), ports.DevPath("ttyUSB0"));
    RunEventsFor(2500);
    EXPECT_FALSE(form.ComPort1.Connected());
    EXPECT_TRUE(form.LineLost());
    EXPECT_EQ(form.lbl_p3_connected->text(), "Line lost on ttyUSB0, waiting");
    other.Send(HandClock::Line("not the clock"));
    RunEventsFor(200);
    EXPECT_EQ(other.Acks(), 0);

    // The clock's own adapter in its place again: reopened as before.
    fs::remove(ports.DevPath("ttyUSB0"));
    adapter = std::make_unique<HandClock>();
    ports.PlugAdapter("ttyUSB0", "QPttyUSB0");
    fs::create_symlink(adapter->Path(), ports.DevPath("ttyUSB0"));
    ASSERT_TRUE(RunEventsUntil([&] { return form.ComPort1.Connected(); }, 20000));
    EXPECT_FALSE(form.LineLost());
    adapter->Send(HandClock::Line("back"));
    ASSERT_TRUE(RunEventsUntil([&] { return adapter->Acks() == 1; }));
    EXPECT_EQ(Rows(form.Sheet()), (std::vector<std::string>{"@", "back"}));
    EXPECT_EQ(boxes.seen.size(), 1u);
    form.BitBtn1->click();
}
