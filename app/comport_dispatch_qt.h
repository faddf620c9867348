#pragma once
// The serial port's main-thread hand-off in a Qt program: each batch of
// queued calls is run from the Qt event loop (and from any nested loop, such
// as a modal box or a close's wait). How a close waits for a port's
// monitor is set with SetWaiter (the program gives it the pause's rule).

#include <QObject>
#include <QSocketNotifier>

#include "serial/dispatcher.h"

namespace app {

class ComPortDispatcherQt final : public serial::TMainThreadDispatcher {
public:
    // Make it on the main thread after the application object, before any
    // port opens; destroy it after every port has closed.
    ComPortDispatcherQt();
    ~ComPortDispatcherQt() override;

    // Start-up: this dispatcher serves every port that has none of its own.
    void MakeDefault();

    // A port's device watched by the event loop, as QSerialPort watches its
    // line: an arrival on an idle port is handled without waking its monitor
    // thread first.
    std::unique_ptr<TInputWatch> WatchInput(int fd, std::function<void()> ready) override;

protected:
    void WakeMainThread() override;

private:
    void Run();

    // The wake is an eventfd the event loop watches, as it watches a serial
    // line for QSerialPort: one write, no event object per batch.
    int wakeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr; // lives on the main thread
    bool isDefault_ = false;
};

} // namespace app
