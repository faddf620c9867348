#pragma once
// The user's input as the window system delivers it: through QGuiApplication
// (QtGui exports this entry for QtTest), so it takes the same path as a click
// on the display.

#include <QEvent>
#include <QPointF>
#include <QWidget>
#include <QWindow>

QT_BEGIN_NAMESPACE
Q_GUI_EXPORT void qt_handleMouseEvent(QWindow* window, const QPointF& local, const QPointF& global,
                                      Qt::MouseButtons state, Qt::MouseButton button, QEvent::Type type,
                                      Qt::KeyboardModifiers mods, int timestamp);
Q_GUI_EXPORT void qt_handleKeyEvent(QWindow* w, QEvent::Type t, int k, Qt::KeyboardModifiers mods,
                                    const QString& text = QString(), bool autorep = false, ushort count = 1);
QT_END_NAMESPACE

namespace testing_support {

// A left click on the middle of w (its window must be shown).
inline void UserClick(QWidget* w)
{
    static int timestamp = 0;
    timestamp += 1000; // never a double click
    QWindow* window = w->window()->windowHandle();
    const QPoint middle = w->rect().center();
    const QPointF local = w->mapTo(w->window(), middle);
    const QPointF global = w->mapToGlobal(middle);
    qt_handleMouseEvent(window, local, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress,
                        Qt::NoModifier, timestamp);
    qt_handleMouseEvent(window, local, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease,
                        Qt::NoModifier, timestamp + 1);
}

// A key pressed and let go in window, to whatever has the focus there.
inline void UserKey(QWindow* window, int key, const QString& text = QString())
{
    qt_handleKeyEvent(window, QEvent::KeyPress, key, Qt::NoModifier, text);
    qt_handleKeyEvent(window, QEvent::KeyRelease, key, Qt::NoModifier, text);
}

} // namespace testing_support
