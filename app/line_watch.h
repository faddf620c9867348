#pragma once
// Waits for a serial device that went away to come back under the same
// name: an inotify watch on its folder, or, where that cannot be had, a look
// twice a second. A name that is there but could not be opened (another
// program holds a freshly plugged adapter for a moment, or its node is not
// ready) is offered again about once a second. Never busy.

#include <QObject>
#include <functional>
#include <string>

class QSocketNotifier;
class QTimer;

namespace app {

class TLineWatch : public QObject {
public:
    // comeBack runs on the main thread each time the device path may have
    // come back (created, moved in, or its permissions changed), and about
    // once a second while it is there; opening it is the only sure test.
    TLineWatch(const std::string& devicePath, std::function<void()> comeBack, QObject* parent = nullptr);
    ~TLineWatch() override;

    // True while inotify serves; false once it fell back to the timer.
    bool Notified() const { return fd_ >= 0; }

    static constexpr int kCheckIntervalMs = 500;
    static constexpr int kRetryIntervalMs = 1000;

private:
    void ReadEvents();
    void UseTimer();
    void Check();
    void Retry();

    std::string path_, dir_, name_;
    std::function<void()> comeBack_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* timer_ = nullptr;
    QTimer* retry_ = nullptr;
    bool absentSeen_ = false;
};

} // namespace app
