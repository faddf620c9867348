#include "application.h"

#include <QCoreApplication>
#include <QFont>
#include <QMessageBox>
#include <cerrno>

#include "serial/errors.h"

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

void ShowErrorBox(const QString& message, const QString& hint)
{
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), WithFullStop(message), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.setInformativeText(hint);
    box.exec();
}

void ShowMessage(const QString& message, const QString& hint)
{
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), message, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("MessageDialog"));
    box.setInformativeText(hint);
    box.exec();
}

QString PermissionAdvice()
{
    return QCoreApplication::translate(
        "Quillprint", "Your account may not use serial ports: join the dialout group "
                      "(sudo adduser $USER dialout), then log out and in again.");
}

QString ErrorHint(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const serial::EComPort& e) {
        if (e.PortErrorCode() != serial::CError_OpenFailed)
            return {};
        switch (e.SystemErrorCode()) {
        case EACCES:
        case EPERM:
            return PermissionAdvice();
        case EBUSY:
        case EWOULDBLOCK: // another program holds the port's lock
            return QCoreApplication::translate("Quillprint",
                                               "The port is used by another program; close it there first.");
        default:
            return {};
        }
    } catch (...) {
        return {};
    }
}

QString ExceptionMessage(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QCoreApplication::translate("Quillprint", "Unknown error");
    }
}

void ShowCurrentException()
{
    const std::exception_ptr error = std::current_exception();
    ShowErrorBox(ExceptionMessage(error), ErrorHint(error));
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
