#pragma once
// The serial port's main-thread hand-off in a Qt program: each batch of
// queued calls is run from the Qt event loop (and from any nested loop, such
// as a modal box or the receiver's pause).

#include <QObject>

#include "serial/dispatcher.h"

namespace app {

class ComPortDispatcherQt final : public serial::TMainThreadDispatcher {
public:
    // Make it on the main thread, before any port opens; destroy it after
    // every port has closed.
    ComPortDispatcherQt();
    ~ComPortDispatcherQt() override;

    // Start-up: this dispatcher serves every port that has none of its own.
    void MakeDefault();

protected:
    void WakeMainThread() override;

private:
    QObject context_; // lives on the main thread; its queued calls die with it
    bool isDefault_ = false;
};

} // namespace app
