#include "pause.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
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

// Holds the user's input while a pause is the innermost thing running, and
// posts it back, in order, when the pause ends.
class InputHold : public QObject {
public:
    InputHold() : modalAtStart_(QApplication::activeModalWidget())
    {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~InputHold() override
    {
        QCoreApplication::instance()->removeEventFilter(this);
        // Posted, not sent: they run once the caller of the pause has
        // returned to the event loop. A later pause holds them again.
        for (Held& h : held_)
            if (h.receiver)
                QCoreApplication::postEvent(h.receiver, h.event.release());
    }

protected:
    bool eventFilter(QObject* receiver, QEvent* event) override
    {
        if (!IsUserInput(receiver, event))
            return false;
        // A box opened inside the pause takes its input as usual.
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

} // namespace

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
    std::unique_ptr<InputHold> hold;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        hold = std::make_unique<InputHold>();
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

void ProcessMessagesUntil(const std::function<bool()>& done)
{
    if (done())
        return;
    std::unique_ptr<InputHold> hold;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        hold = std::make_unique<InputHold>();
    QEventLoop loop;
    while (!done())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace app
