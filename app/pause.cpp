#include "pause.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <thread>

namespace app {

void DelayProcessingMessages(int ms)
{
    if (ms <= 0)
        return;
    if (!QCoreApplication::instance()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    if (QCoreApplication::closingDown())
        return;
    // A nested loop ends on the timer, or at once when QCoreApplication::exit
    // (quit) is called: Qt tells every running loop to exit, and a loop
    // started after that returns immediately.
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
}

} // namespace app
