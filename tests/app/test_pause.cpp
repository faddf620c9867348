#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <string>

#include "../qt_test_app.h"
#include "app/pause.h"
#include "user_input.h"

TEST(Pause, WaitsAtLeastTheTimeAndRunsEventsMeanwhile)
{
    testing_support::TestApp();
    int ran = 0;
    QTimer::singleShot(10, [&] { ++ran; });
    QMetaObject::invokeMethod(qApp, [&] { ++ran; }, Qt::QueuedConnection);
    QElapsedTimer clock;
    clock.start();
    app::DelayProcessingMessages(50);
    const qint64 elapsed = clock.elapsed();
    EXPECT_GE(elapsed, 50);
    EXPECT_LT(elapsed, 1000);
    EXPECT_EQ(ran, 2);
}

TEST(Pause, NothingForZeroOrLess)
{
    testing_support::TestApp();
    QElapsedTimer clock;
    clock.start();
    app::DelayProcessingMessages(0);
    app::DelayProcessingMessages(-5);
    EXPECT_LT(clock.elapsed(), 20);
}

TEST(Pause, AWaitForAConditionEndsWhenItHoldsOrWhenTheTimeIsUp)
{
    testing_support::TestApp();
    bool flag = false;
    QTimer::singleShot(20, [&] { flag = true; });
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(app::WaitUnderPolicy(5000, [&] { return flag; }));
    EXPECT_LT(clock.elapsed(), 2000);
    clock.restart();
    EXPECT_FALSE(app::WaitUnderPolicy(30, [] { return false; }));
    EXPECT_GE(clock.elapsed(), 30);
}

namespace {

// A window that notes its clicks and close requests in a shared log.
struct LoggingWindow : QWidget {
    std::string* log;
    QPushButton* button;
    explicit LoggingWindow(std::string* log) : log(log), button(new QPushButton("Press", this))
    {
        resize(200, 100);
        button->setGeometry(10, 10, 100, 40);
        QObject::connect(button, &QPushButton::clicked, [log] { *log += "click "; });
        show();
    }
    void closeEvent(QCloseEvent* e) override
    {
        *log += "close ";
        e->ignore();
    }
};

} // namespace

TEST(Pause, UserInputWaitsUntilTheCallerHasReturned)
{
    testing_support::TestApp();
    std::string log;
    LoggingWindow window(&log);
    ASSERT_TRUE(testing_support::ActivateWindow(window));
    window.button->setFocus();
    int painted = 0;
    QTimer::singleShot(0, [&] {
        // The caller of the pause: a click, a key and a close from the
        // window manager arrive inside it, a timer still runs there.
        QTimer::singleShot(10, [&] {
            testing_support::UserClick(window.button);
            testing_support::UserKey(window.windowHandle(), Qt::Key_Space, " ");
            window.windowHandle()->close();
            ++painted;
            log += "timer ";
        });
        app::DelayProcessingMessages(60);
        log += "returned ";
    });
    QElapsedTimer clock;
    clock.start();
    while (log.find("close") == std::string::npos && clock.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(painted, 1);
    EXPECT_EQ(log, "timer returned click click close ");
    EXPECT_TRUE(window.isVisible());

    // A box opened inside the pause takes its clicks at once, or it could
    // never be closed; nothing is held for later.
    log.clear();
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(5, [&] {
            QMessageBox box(QMessageBox::NoIcon, "t", "inside", QMessageBox::Ok);
            QTimer::singleShot(20, [&] { testing_support::UserClick(box.button(QMessageBox::Ok)); });
            box.exec();
            log += "box closed ";
        });
        app::DelayProcessingMessages(200);
        log += "returned ";
    });
    clock.restart();
    while (log.find("returned") == std::string::npos && clock.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    QApplication::processEvents();
    EXPECT_EQ(log, "box closed returned ");
}

TEST(Pause, ABoxAskedForInsideAWaitOpensAfterItInOrderAndLetsWaitsRun)
{
    testing_support::TestApp();
    std::string log;
    const auto box = [&log](const std::string& name, bool waitInside) {
        return [&log, name, waitInside] {
            QMessageBox b(QMessageBox::NoIcon, "t", QString::fromStdString(name), QMessageBox::Ok);
            log += name + "-open ";
            QTimer::singleShot(10, &b, [&log, &b, waitInside] {
                // A port's handler pausing while the box is open.
                if (waitInside) {
                    app::DelayProcessingMessages(20);
                    log += "wait-in-box ";
                }
                b.accept();
            });
            b.exec();
            log += name + "-closed ";
        };
    };
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(5, [&] {
            log += "asked ";
            app::ShowOutsideWaits(box("one", true));
            app::ShowOutsideWaits(box("two", false));
        });
        app::DelayProcessingMessages(30);
        EXPECT_TRUE(!app::InsideWait());
        log += "returned ";
    });
    QElapsedTimer clock;
    clock.start();
    while (log.find("two-closed") == std::string::npos && clock.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(log, "asked returned one-open wait-in-box one-closed two-open two-closed ");
    // Outside any wait it opens at once.
    log.clear();
    app::ShowOutsideWaits(box("now", false));
    EXPECT_EQ(log, "now-open now-closed ");
}

// Must stay the last test: the application has been told to quit.
TEST(Pause, EndsEarlyWhenTheApplicationQuits)
{
    testing_support::TestApp();
    qint64 firstPause = -1, laterPause = -1;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(20, [] { QCoreApplication::quit(); });
        QElapsedTimer clock;
        clock.start();
        app::DelayProcessingMessages(5000);
        firstPause = clock.elapsed();
        clock.restart();
        app::DelayProcessingMessages(5000); // a pause begun after quitting ends at once
        laterPause = clock.elapsed();
    });
    QCoreApplication::exec();
    EXPECT_GE(firstPause, 15);
    EXPECT_LT(firstPause, 2000);
    EXPECT_GE(laterPause, 0);
    EXPECT_LT(laterPause, 500);
}
