#include "app/connection.h"

#include <QCoreApplication>
#include <QTimer>
#include <exception>
#include <functional>
#include <poll.h>

#include "app/line_watch.h"
#include "app/pause.h"
#include "serial/ports.h"

namespace app {
namespace {

// The device is gone (a pulled cable, a closed pty), not merely quiet.
bool LineHungUp(int fd)
{
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

constexpr clocklink::LampColor kLampWhite{255, 255, 255};

QString LineEndedHint(const std::string& port)
{
    return QCoreApplication::translate("TConnection",
                                       "The other side of %1 closed, so this line has ended. Quillprint does not "
                                       "reopen such a line by itself: the next one under that name may be somebody "
                                       "else's. Connect again once the clock's line is back.")
        .arg(QString::fromStdString(port));
}

} // namespace

TConnection::TConnection(printout::PrintoutSheet& sheet, TConnectionView& view)
    : sheet_(sheet),
      view_(view),
      receiver_(portOps_, sheet_, [this](clocklink::LampColor c) { view_.ShowLamp(c); },
                clocklink::FrameReceiver::Schedule([this](int ms, std::function<void()> callback) {
                    QTimer::singleShot(ms, Qt::PreciseTimer, this, std::move(callback));
                }))
{
    receiver_.SetAckFailed([this] { AckFailed(std::current_exception()); });
    SetUpComPort();
}

TConnection::~TConnection()
{
    ComPort1.OnRxChar = nullptr;
    ComPort1.OnMonitorEnded = nullptr;
    ComPort1.OnDeferredError = nullptr;
}

void TConnection::CloseAtEnd() noexcept
{
    try {
        SendDueAcks();
        ComPort1.SetConnected(false);
    } catch (...) {
    }
    receiver_.DropDueAcks();
}

void TConnection::SetUpComPort()
{
    ComPort1.SetPort("COM1");
    ComPort1.SetBaudRate(serial::br9600);
    ComPort1.SetDataBits(serial::dbEight);
    ComPort1.Parity().SetBits(serial::prNone);
    ComPort1.SetStopBits(serial::sbOneStopBit);
    ComPort1.SetEvents(serial::kAllComEvents);
    ComPort1.FlowControl().SetOutCTSFlow(false);
    ComPort1.FlowControl().SetOutDSRFlow(false);
    ComPort1.FlowControl().SetControlDTR(serial::dtrDisable);
    ComPort1.FlowControl().SetControlRTS(serial::rtsDisable);
    ComPort1.FlowControl().SetXonXoffOut(false);
    ComPort1.FlowControl().SetXonXoffIn(false);
    ComPort1.OnRxChar = [this](serial::TComPort& sender, int count) { ComPort1RxChar(sender, count); };
    // Errors that have no click handler to reach go to the error box.
    ComPort1.OnMonitorEnded = [this](serial::TComPort&, const std::string& message) {
        ComPort1MonitorEnded(message);
    };
    ComPort1.OnDeferredError = [this](serial::TComPort&, const std::string& message) {
        view_.ShowPortError(QString::fromStdString(message), false, QString());
    };
}

void TConnection::Show()
{
    view_.ShowConnection(shown_);
}

void TConnection::ConnectRelay(const QString& shownPort)
{
    ComPort1.OpenPort();
    description_ = serial::DescribeComPort(ComPort1.Port());
    // A frame cut off by an earlier connection must not swallow the first
    // frames of this one.
    receiver_.Reset();
    link_ = TLink::Relay;
    shown_.relayDisconnects = true;
    shown_.p3Port = shownPort;
    sheet_.ResetSheet();
    shown_.printoutEnabled = true;
    shown_.chooserEnabled = false;
    Show();
}

void TConnection::DisconnectRelay()
{
    CloseLink();
    shown_.printoutEnabled = false;
    Show();
}

void TConnection::ConnectLoft(const QString& port)
{
    ConnectRelay(port);
    link_ = TLink::Loft;
    shown_.k7Port = port;
    shown_.loftDisconnects = true;
    Show();
}

void TConnection::DisconnectLoft()
{
    shown_.k7Port.reset();
    CloseLink();
    // The printout received stays printable.
    shown_.loftDisconnects = false;
    Show();
}

void TConnection::CloseLink()
{
    SendDueAcks();
    StopWaiting();
    // Emptied first: a close that fails leaves it so.
    shown_.p3Port.reset();
    Show();
    ComPort1.ClosePort();
    // A frame its last delivery took in cannot be answered now.
    if (!ComPort1.Connected())
        receiver_.DropDueAcks();
    link_ = TLink::Idle;
    shown_.relayDisconnects = false;
    shown_.chooserEnabled = true;
}

void TConnection::ComPort1RxChar(serial::TComPort&, int count)
{
    receiver_.ComPort1RxChar(count);
}

void TConnection::SendDueAcks()
{
    receiver_.SendDueAcks([](int ms, const std::function<bool()>& done) { WaitUnderPolicy(ms, done); });
}

void TConnection::AckFailed(const std::exception_ptr& error)
{
    // An acknowledgement that could not go out on a line that is gone: the
    // line's own end is what the user is told about.
    if (lost_ || !ComPort1.Connected() || LineHungUp(ComPort1.Handle()))
        return;
    QString message = QStringLiteral("Unknown error");
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        message = QString::fromStdString(e.what());
    } catch (...) {
    }
    // Not from inside the receiver's own call.
    QTimer::singleShot(0, this, [this, message] { view_.ShowPortError(message, false, QString()); });
}

void TConnection::ComPort1MonitorEnded(const std::string& message)
{
    // A hung-up line gives its device up at once, so the adapter comes back
    // under the same name, and the window waits for it, sheet and all. A
    // line the system does not describe (a pseudo-terminal) cannot be known
    // again: whatever next takes its name or number is somebody else's.
    QString hint;
    if (ComPort1.Connected() && LineHungUp(ComPort1.Handle())) {
        if (description_.described)
            LoseLine();
        else if (EndLine())
            hint = LineEndedHint(ComPort1.Port());
    }
    view_.ShowPortError(QString::fromStdString(message), lost_, hint);
}

// The line is gone: what was due for it is dropped and the port closed.
// False when the port stays open; its error box and Disconnect remain the
// way on then.
bool TConnection::GiveUpPort()
{
    receiver_.DropDueAcks();
    try {
        ComPort1.ClosePort();
    } catch (const std::exception&) {
    }
    return !ComPort1.Connected();
}

bool TConnection::EndLine()
{
    if (!GiveUpPort())
        return false;
    // As a disconnect, but the rows received stay printable.
    shown_.k7Port.reset();
    CloseLink();
    shown_.loftDisconnects = false;
    Show();
    view_.ShowLamp(kLampWhite); // as for a lost line: nothing comes in now
    return true;
}

void TConnection::LoseLine()
{
    if (!GiveUpPort())
        return;
    lost_ = true;
    shown_.lostPort = QString::fromStdString(ComPort1.Port());
    Show();
    view_.ShowLamp(kLampWhite); // nothing is received until the line is back
    lineWatch_ = new TLineWatch(serial::DevicePathOf(ComPort1.Port()), [this] { TryReopen(); }, this);
}

void TConnection::TryReopen()
{
    if (!lost_)
        return;
    // Another device under the old name is not the clock's line.
    if (serial::DescribeComPort(ComPort1.Port()) != description_)
        return;
    try {
        ComPort1.OpenPort(); // the same name and settings as before
    } catch (const std::exception&) {
        return; // not back yet, or not ours yet: wait on
    }
    // A name that never went away may still lead to the dead device.
    if (LineHungUp(ComPort1.Handle())) {
        try {
            ComPort1.ClosePort();
        } catch (const std::exception&) {
        }
        if (!ComPort1.Connected())
            return;
    }
    receiver_.LineBack(); // a line whose acknowledgement was lost stays marked
    StopWaiting();
    Show();
    view_.LineBack();
}

void TConnection::StopWaiting()
{
    lost_ = false;
    shown_.lostPort.reset();
    if (lineWatch_) {
        // This may run inside the watch's own call.
        lineWatch_->deleteLater();
        lineWatch_ = nullptr;
    }
}

} // namespace app
