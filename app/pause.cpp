#include "pause.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace app {
namespace {

bool IsUserInput(const QObject* receiver, const QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::ContextMenu:
        return true;
    case QEvent::Close:
        // Only the window manager's request comes to the window itself;
        // a widget closed by code is not held.
        return receiver->isWindowType();
    default:
        return false;
    }
}

// The waits running now, and the boxes asked for meanwhile.
int waitDepth = 0;
bool showingQueued = false;
std::deque<std::function<void()>> queuedBoxes;

void ShowQueued()
{
    if (waitDepth > 0 || showingQueued)
        return; // the end of the wait, or of the box, comes back here
    showingQueued = true;
    while (!queuedBoxes.empty() && waitDepth == 0) {
        const std::function<void()> show = std::move(queuedBoxes.front());
        queuedBoxes.pop_front();
        show();
    }
    showingQueued = false;
}

// Counts a wait while it runs; the outermost's end lets the boxes out, once
// the waiting handler has returned to the event loop.
class WaitScope {
public:
    WaitScope() { ++waitDepth; }
    ~WaitScope()
    {
        if (--waitDepth == 0 && !queuedBoxes.empty())
            QTimer::singleShot(0, QCoreApplication::instance(), [] { ShowQueued(); });
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
};

} // namespace

void ShowOutsideWaits(std::function<void()> show)
{
    if (waitDepth == 0 && !showingQueued && queuedBoxes.empty()) {
        show();
        return;
    }
    queuedBoxes.push_back(std::move(show));
    if (waitDepth == 0 && !showingQueued)
        QTimer::singleShot(0, QCoreApplication::instance(), [] { ShowQueued(); });
}

bool InsideWait()
{
    return waitDepth > 0;
}

// Takes the user's input while a wait is the innermost thing running, and
// posts it back, in order, when the wait ends.
class TUserInputHold::Filter : public QObject {
public:
    Filter() : modalAtStart_(QApplication::activeModalWidget())
    {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~Filter() override
    {
        QCoreApplication::instance()->removeEventFilter(this);
        // Posted, not sent: they run once the waiting handler has returned
        // to the event loop. A later wait holds them again.
        for (Held& h : held_)
            if (h.receiver)
                QCoreApplication::postEvent(h.receiver, h.event.release());
    }

protected:
    bool eventFilter(QObject* receiver, QEvent* event) override
    {
        if (!IsUserInput(receiver, event))
            return false;
        // A box opened inside the wait takes its input as usual.
        if (QApplication::activeModalWidget() != modalAtStart_)
            return false;
        held_.push_back({receiver, std::unique_ptr<QEvent>(event->clone())});
        event->ignore();
        return true;
    }

private:
    struct Held {
        QPointer<QObject> receiver;
        std::unique_ptr<QEvent> event;
    };
    QPointer<QWidget> modalAtStart_;
    std::vector<Held> held_;
};

TUserInputHold::TUserInputHold()
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        filter_ = std::make_unique<Filter>();
}

TUserInputHold::~TUserInputHold() = default;

bool WaitUnderPolicy(int ms, const std::function<bool()>& done)
{
    const auto isDone = [&done] { return done && done(); };
    if (isDone() || ms <= 0)
        return isDone();
    if (!QCoreApplication::instance()) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!isDone() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(done ? 1 : ms));
        return isDone();
    }
    if (QCoreApplication::closingDown())
        return isDone();
    const WaitScope scope;
    const TUserInputHold hold;
    // A nested loop ends on the timer, or at once when QCoreApplication::exit
    // (quit) is called: Qt tells every running loop to exit, and a loop
    // started after that returns immediately.
    QEventLoop loop;
    QTimer deadline;
    deadline.setTimerType(Qt::PreciseTimer);
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(ms);
    QTimer look; // another thread may make done() true without waking us
    if (done) {
        const auto check = [&] {
            if (done())
                loop.quit();
        };
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop, check);
        QObject::connect(&look, &QTimer::timeout, &loop, check);
        look.start(5);
    }
    loop.exec();
    return isDone();
}

void DelayProcessingMessages(int ms)
{
    WaitUnderPolicy(ms);
}

void ProcessMessagesUntil(const std::function<bool()>& done)
{
    if (done())
        return;
    if (!QCoreApplication::instance()) {
        while (!done())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    // No deadline and no early end on quit: the other thread must finish.
    const WaitScope scope;
    const TUserInputHold hold;
    QEventLoop loop;
    while (!done())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace app
