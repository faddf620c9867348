#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include "../qt_test_app.h"
#include "app/pause.h"

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
