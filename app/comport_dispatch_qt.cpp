#include "comport_dispatch_qt.h"

#include <QMetaObject>
#include <QtGlobal>
#include <exception>

namespace app {

ComPortDispatcherQt::ComPortDispatcherQt() = default;

ComPortDispatcherQt::~ComPortDispatcherQt() {
    if (isDefault_)
        serial::SetDefaultDispatcher(nullptr);
}

void ComPortDispatcherQt::MakeDefault() {
    serial::SetDefaultDispatcher(this);
    isDefault_ = true;
}

void ComPortDispatcherQt::WakeMainThread() {
    QMetaObject::invokeMethod(
        &context_,
        [this] {
            try {
                RunPending();
            } catch (const std::exception& e) {
                // Nothing may leave a Qt event handler; the port's own
                // calls catch their errors, so this is a handler's bug.
                qWarning("serial port call raised: %s", e.what());
            }
        },
        Qt::QueuedConnection);
}

} // namespace app
