// A lost line comes back: the window reopens its port by itself.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>
#include <memory>

#include "app/widgets.h"
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
    fs::create_symlink(adapter->path, link);
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
        fs::create_directory(folder);
        fs::create_symlink(again.path, link);
        back = true;
    });
    adapter.reset();
    EXPECT_TRUE(RunEventsUntil([&] { return back && form.ComPort1.Connected() && !form.LineLost(); }, 20000));
    EXPECT_EQ(boxes.seen.size(), 1u);
    form.BitBtn1->click();
    fs::remove_all(root);
}
