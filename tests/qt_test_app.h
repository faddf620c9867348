#pragma once
// One QApplication per test process, made on first use (offscreen platform,
// set by the test environment).

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

namespace testing_support {

inline QApplication& TestApp()
{
    static int argc = 1;
    static char name[] = "quillprint-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Activates the widget's window as a click on it would, and waits until the
// platform has made it the active window.
inline bool ActivateWindow(QWidget& widget, int timeoutMs = 5000)
{
    QWidget* window = widget.window();
    window->activateWindow();
    QElapsedTimer clock;
    clock.start();
    while (QApplication::activeWindow() != window && clock.elapsed() < timeoutMs)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return QApplication::activeWindow() == window;
}

} // namespace testing_support
