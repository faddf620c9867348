#pragma once
// The window under test: a fake port list (sysfs and /dev trees of our own
// whose device nodes are pty slaves), modal boxes answered by a timer, and
// the serial dispatcher running on Qt's loop as in the program.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/comport_dispatch_qt.h"
#include "app/form1.h"
#include "serial/portlock.h"
#include "app/sheet_commands.h"
#include "serial/ports.h"
#include "user_input.h"

namespace testing_support {


namespace fs = std::filesystem;

// /sys/class/tty and /dev look-alikes; each port's node links to a device.
class FakePortTree {
public:
    FakePortTree()
    {
        char pattern[] = "/tmp/quillprint-ports-XXXXXX";
        root_ = ::mkdtemp(pattern);
        fs::create_directories(root_ / "sys");
        fs::create_directories(root_ / "dev");
        // Port locks of our own: tests running beside this one (or runs
        // they killed) must not hold the pty numbers we are given.
        fs::create_directories(root_ / "lock");
        fs::permissions(root_ / "lock", fs::perms::all | fs::perms::sticky_bit);
        Use();
    }
    ~FakePortTree()
    {
        serial::SetComPortLockDir(savedLockDir_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    // Each port is a USB adapter of its own, as sysfs shows one: its entry's
    // device link leads below the adapter, whose ids and serial number say
    // which one it is. A replugged adapter is the same one.
    void Add(const std::string& name, const std::string& devicePath)
    {
        fs::create_directories(root_ / "sys" / name);
        PlugAdapter(name, "QP" + name);
        fs::create_symlink(devicePath, root_ / "dev" / name);
    }
    // Another adapter (this serial number) now has the name.
    void PlugAdapter(const std::string& name, const std::string& serial)
    {
        const fs::path adapter = root_ / "devices" / ("usb1-" + serial);
        const fs::path port = adapter / "1-1:1.0" / name;
        fs::create_directories(port);
        std::ofstream(adapter / "idVendor") << "0403\n";
        std::ofstream(adapter / "idProduct") << "6001\n";
        std::ofstream(adapter / "serial") << serial << "\n";
        const fs::path link = root_ / "sys" / name / "device";
        fs::remove(link);
        fs::create_directory_symlink(port, link);
    }
    // The system keeps no port list at all.
    void RemoveList() { fs::remove_all(root_ / "sys"); }
    // Lock files go here too: /run/lock is shared with every other program
    // on the machine, whose stale locks on reused pty numbers are not ours.
    void Use()
    {
        serial::SetComPortRoots((root_ / "sys").string(), (root_ / "dev").string());
        serial::SetComPortLockDir((root_ / "lock").string());
    }
    std::string DevPath(const std::string& name) const { return (root_ / "dev" / name).string(); }

private:
    fs::path root_;
    std::string savedLockDir_ = serial::ComPortLockDir();
};

// A pty whose slave stands in for a serial device nobody answers on.
struct QuietLine {
    int master = -1, slave = -1;
    std::string path;
    QuietLine()
    {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            std::abort();
        path = ::ttyname(slave);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    }
    ~QuietLine()
    {
        ::close(master);
        ::close(slave);
    }
};

struct SeenBox {
    QString title, text, hint;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    QString objectName;
};

// Answers every modal message box that opens while it lives, with OK, and
// records what it showed. Arm it before the click that opens a box. With
// keepOpenMs the box stays open that long first, as a user reading it would.
class BoxAnswerer {
public:
    explicit BoxAnswerer(int keepOpenMs = 0)
    {
        clock_.start();
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this, keepOpenMs] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            // Marked on the box itself: a later box may reuse the address.
            if (!box || !box->isVisible() || box->property("qpAnswered").toBool())
                return;
            if (!box->property("qpSeenAt").isValid())
                box->setProperty("qpSeenAt", clock_.elapsed());
            if (clock_.elapsed() - box->property("qpSeenAt").toLongLong() < keepOpenMs)
                return;
            box->setProperty("qpAnswered", true);
            seen.push_back({box->windowTitle(), box->text(), box->informativeText(), box->icon(),
                            static_cast<int>(box->buttons().size()), box->objectName()});
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        });
        timer_.start();
    }
    std::vector<SeenBox> seen;

private:
    QTimer timer_;
    QElapsedTimer clock_;
};

// Answers the next modal dialog of type D that opens with what answer does.
template <class D>
class DialogAnswerer {
public:
    explicit DialogAnswerer(std::function<void(D&)> answer) : answer_(std::move(answer))
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || seen)
                return;
            seen = true;
            answer_(*dialog);
        });
        timer_.start();
    }
    bool seen = false;

private:
    std::function<void(D&)> answer_;
    QTimer timer_;
};

// Picks path in Qt's own file dialog and accepts it. selectFile() leaves the
// name field alone once that field has the focus (a busy machine shows the
// dialog before the answer comes), so the name is typed into the field.
inline void ChooseFile(QFileDialog& dialog, const QString& path)
{
    const QFileInfo info(path);
    dialog.setDirectory(info.absolutePath());
    if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        name->setText(info.fileName());
    else
        dialog.selectFile(path);
    QElapsedTimer clock;
    clock.start();
    while (dialog.selectedFiles().value(0) != path && clock.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (dialog.selectedFiles().value(0) != path)
        ADD_FAILURE() << "the file dialog did not take " << path.toStdString();
    static_cast<QDialog&>(dialog).accept();
}

inline void RunEventsFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
}

inline bool RunEventsUntil(const std::function<bool()>& done, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// Process-wide set-up as main() does it.
inline void SetUpProgram()
{
    static bool done = [] {
        static int argc = 1;
        static char name[] = "quillprint-test";
        static char* argv[] = {name, nullptr};
        new app::TApplication(argc, argv);
        app::InstallFontSubstitutes();
        static app::ComPortDispatcherQt dispatcher;
        dispatcher.MakeDefault();
        app::InstallPrinterHooks();
        return true;
    }();
    (void)done;
}

} // namespace testing_support
