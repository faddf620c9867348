#include "app/line_watch.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace app {

TLineWatch::TLineWatch(const std::string& devicePath, std::function<void()> comeBack, QObject* parent)
    : QObject(parent), path_(devicePath), comeBack_(std::move(comeBack))
{
    const std::size_t slash = path_.rfind('/');
    dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    retry_ = new QTimer(this);
    retry_->setInterval(kRetryIntervalMs);
    connect(retry_, &QTimer::timeout, this, [this] { Retry(); });
    retry_->start();
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // A udev node comes root-only and gets its group a moment later: the
    // attribute change is the second chance to open it.
    if (fd_ >= 0 &&
        ::inotify_add_watch(fd_, dir_.c_str(),
                            IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) {
        UseTimer();
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { ReadEvents(); });
}

TLineWatch::~TLineWatch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void TLineWatch::ReadEvents()
{
    alignas(inotify_event) char buffer[4096];
    bool ours = false, folderGone = false;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW))
                folderGone = folderGone || !(e->mask & IN_Q_OVERFLOW);
            if ((e->mask & IN_Q_OVERFLOW) || (e->len > 0 && name_ == e->name))
                ours = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    if (folderGone) {
        // The folder itself went (a by-id folder goes with its last device).
        // The notifier is the caller here: it goes once it has returned.
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
        ::close(fd_);
        fd_ = -1;
        // The name went with it, however soon the folder is back.
        absentSeen_ = true;
        UseTimer();
    }
    if (ours && comeBack_)
        comeBack_(); // may delete this watch: nothing after it
}

void TLineWatch::UseTimer()
{
    timer_ = new QTimer(this);
    timer_->setInterval(kCheckIntervalMs);
    connect(timer_, &QTimer::timeout, this, [this] { Check(); });
    timer_->start();
}

void TLineWatch::Check()
{
    // The quick look is for a name that came back; one that never went away
    // is left to the slower retry, which may find the old, dead node.
    if (::access(path_.c_str(), F_OK) != 0) {
        absentSeen_ = true;
        return;
    }
    if (absentSeen_ && comeBack_)
        comeBack_();
}

void TLineWatch::Retry()
{
    if (::access(path_.c_str(), F_OK) == 0 && comeBack_)
        comeBack_(); // may delete this watch: nothing after it
}

} // namespace app
