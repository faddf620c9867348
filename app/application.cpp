#include "application.h"

#include <QFont>
#include <QMessageBox>

namespace app {

QString ApplicationTitle()
{
    return QStringLiteral("Quillprint");
}

QString WithFullStop(const QString& message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + u'.';
    return message;
}

void ShowErrorBox(const QString& message)
{
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), WithFullStop(message), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.exec();
}

void ShowMessage(const QString& message)
{
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), message, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("MessageDialog"));
    box.exec();
}

QString ExceptionMessage(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void ShowCurrentException()
{
    ShowErrorBox(ExceptionMessage(std::current_exception()));
}

void InstallFontSubstitutes()
{
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("Courier"), QStringLiteral("Liberation Mono"));
    QFont::insertSubstitution(QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"));
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // Not the display name: on X11 Qt would append it to the window caption.
    setApplicationName(ApplicationTitle());
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowCurrentException();
        return false;
    }
}

} // namespace app
