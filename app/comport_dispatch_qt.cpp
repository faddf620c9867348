#include "comport_dispatch_qt.h"

#include <QtGlobal>
#include <cstdint>
#include <exception>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

namespace app {

ComPortDispatcherQt::ComPortDispatcherQt() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    notifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read);
    QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { Run(); });
}

ComPortDispatcherQt::~ComPortDispatcherQt() {
    if (isDefault_)
        serial::SetDefaultDispatcher(nullptr);
    delete notifier_;
    ::close(wakeFd_);
}

void ComPortDispatcherQt::MakeDefault() {
    serial::SetDefaultDispatcher(this);
    isDefault_ = true;
}

void ComPortDispatcherQt::WakeMainThread() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(wakeFd_, &one, sizeof one);
}

void ComPortDispatcherQt::Run() {
    // Emptied first, so that a wake during the calls (also one a nested
    // loop inside a handler should serve) is seen again.
    std::uint64_t n;
    [[maybe_unused]] auto r = ::read(wakeFd_, &n, sizeof n);
    try {
        RunPending();
    } catch (const std::exception& e) {
        // Nothing may leave a Qt event handler; the port's own calls catch
        // their errors, so this is a handler's bug.
        qWarning("serial port call raised: %s", e.what());
    }
}

} // namespace app
