#include "application.h"

#include <QCoreApplication>
#include <QFont>
#include <QMessageBox>
#include <QStringList>
#include <cerrno>
#include <vector>

#include "app/pause.h"
#include "serial/errors.h"
#include "serial/ports.h"

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

std::unique_ptr<QMessageBox> MakeErrorBox(const QString& message, const QString& hint)
{
    auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, ApplicationTitle(), WithFullStop(message),
                                             QMessageBox::Ok);
    box->setObjectName(QStringLiteral("ErrorBox"));
    box->setInformativeText(hint);
    return box;
}

void ShowErrorBox(const QString& message, const QString& hint)
{
    ShowOutsideWaits([message, hint] { MakeErrorBox(message, hint)->exec(); });
}

void ShowMessage(const QString& message, const QString& hint)
{
    ShowOutsideWaits([message, hint] {
        QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), message, QMessageBox::Ok);
        box.setObjectName(QStringLiteral("MessageDialog"));
        box.setInformativeText(hint);
        box.exec();
    });
}

QString PermissionAdvice()
{
    return QCoreApplication::translate(
        "Quillprint", "Your account may not use serial ports: join the dialout group "
                      "(sudo adduser $USER dialout), then log out and in again.");
}

namespace {

// USB serial adapters: their kernel names, and the by-id and by-path links
// udev makes for them.
bool IsUsbPort(const QString& port)
{
    const QString name = port.section(u'/', -1);
    return name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM")) ||
           port.contains(QLatin1String("usb"), Qt::CaseInsensitive);
}

} // namespace

QString NoSuchPortHint(const std::string& port)
{
    std::vector<std::string> found;
    try {
        serial::ListComPorts(found);
    } catch (const std::exception&) {
        found.clear(); // then none is found
    }
    QStringList names, usb;
    for (const std::string& name : found) {
        names << QString::fromStdString(name);
        if (IsUsbPort(names.back()))
            usb << names.back();
    }
    const QString name = QString::fromStdString(port);
    const QString comma = QStringLiteral(", ");
    QString hint = QCoreApplication::translate("Quillprint", "There is no port %1.").arg(name) + u' ';
    if (names.isEmpty())
        hint += QCoreApplication::translate("Quillprint", "No serial port is found now.");
    else
        hint += QCoreApplication::translate("Quillprint", "Serial ports found now: %1.").arg(names.join(comma));
    if (IsUsbPort(name))
        hint += u' ' + (usb.isEmpty() ? QCoreApplication::translate("Quillprint", "No USB serial adapter is plugged in.")
                                      : QCoreApplication::translate("Quillprint", "USB serial adapters plugged in: %1.")
                                            .arg(usb.join(comma)));
    return hint;
}

QString ErrorHint(const std::exception_ptr& error, const std::string& port)
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
        case ENOENT:
            return port.empty() ? QString() : NoSuchPortHint(port);
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

void ShowCurrentException(const std::string& port)
{
    const std::exception_ptr error = std::current_exception();
    ShowErrorBox(ExceptionMessage(error), ErrorHint(error, port));
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
