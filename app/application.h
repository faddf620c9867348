#pragma once
// The application object: its title, the error box, and the catch-all that
// keeps exceptions from crossing Qt's event loop.

#include <QApplication>
#include <QString>
#include <exception>
#include <memory>
#include <string>

class QMessageBox;

namespace app {

// Caption of every message box the program shows.
QString ApplicationTitle();

// The error box's text rule: a full stop is added when the message is not
// empty and its last character sorts after "." (a letter or a digit).
QString WithFullStop(const QString& message);

// Modal message box: error icon, one OK button, the application title. A
// hint, when given, is one plain line under the message. Inside a wait it
// opens once the wait is over (ShowOutsideWaits); so does ShowMessage's.
void ShowErrorBox(const QString& message, const QString& hint = QString());
// The same box, to be shown (exec) by the caller, who may close it early.
std::unique_ptr<QMessageBox> MakeErrorBox(const QString& message, const QString& hint = QString());

// The not-found dialog kind: no icon, one OK button, the application title,
// and an optional line under the message.
void ShowMessage(const QString& message, const QString& hint = QString());

// What a club member can do about an error whose cause is known (no access
// to the port, the port in use elsewhere, no such port as port); empty
// otherwise.
QString ErrorHint(const std::exception_ptr& error, const std::string& port = {});

// For a port name that is not there: the serial ports found now, and for a
// USB adapter whether one is plugged in.
QString NoSuchPortHint(const std::string& port);

// The advice for a port that may not be opened for lack of permission.
QString PermissionAdvice();

// The text of an exception as the error box shows it.
QString ExceptionMessage(const std::exception_ptr& error);

// Shows whatever is being thrown in the error box; for catch blocks. port:
// the port that was being opened, if any.
void ShowCurrentException(const std::string& port = {});

// "MS Sans Serif", "Arial", "Courier" and "Courier New" are drawn with their
// metric-compatible Liberation fonts.
void InstallFontSubstitutes();

class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    // A handler's exception ends here, is shown, and the program goes on.
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace app
