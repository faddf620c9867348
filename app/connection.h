#pragma once
// The clock connection as a state of its own, apart from the window: the
// port ComPort1, the frame receiver bound to it, and the wait for a line that
// was lost. It decides what the window shows; the window shows it.

#include <QObject>
#include <QString>
#include <exception>
#include <optional>

#include "clocklink/port_ops.h"
#include "clocklink/receiver.h"
#include "printout/sheet.h"
#include "serial/comport.h"
#include "serial/ports.h"

namespace app {

class TLineWatch;

enum class TLink {
    Idle,  // nothing connected (also after a disconnect)
    Relay, // connected through the relay group's Connect
    Loft,  // connected by the loft scan
};

// What the window shows of the connection.
struct TConnectionShown {
    bool relayDisconnects = false; // BitBtn1 reads "Disconnect", else "Connect"
    bool loftDisconnects = false;  // Button1 reads "Disconnect K7"; the relay group is hidden
    bool chooserEnabled = true;
    bool printoutEnabled = false;  // Print and Clear Screen
    std::optional<QString> p3Port; // lbl_p3_connected names it, or is empty
    std::optional<QString> k7Port; // lbl_k7_on_comport names it, or is empty
    std::optional<QString> lostPort; // the line is lost: the labels shown say so
};

// The window's side.
class TConnectionView {
public:
    virtual void ShowConnection(const TConnectionShown& shown) = 0;
    virtual void ShowLamp(clocklink::LampColor color) = 0;
    // An error that no click handler reaches; lineLost: the window now waits
    // for the line, and the box may be closed by LineBack. A hint, when
    // given, is a line under the message.
    virtual void ShowPortError(const QString& message, bool lineLost, const QString& hint) = 0;
    virtual void LineBack() = 0;

protected:
    ~TConnectionView() = default;
};

class TConnection : public QObject {
public:
    TConnection(printout::PrintoutSheet& sheet, TConnectionView& view);
    // Unhooks the port's handlers: none runs on a connection that is gone.
    ~TConnection() override;

    serial::TComPort ComPort1;

    // The program ends: due acknowledgements go out, the port is closed (what
    // the handlers its monitor queued add still reaches the sheet), and any
    // left are dropped. Failures are of no use now.
    void CloseAtEnd() noexcept;

    clocklink::FrameReceiver& Receiver() { return receiver_; }
    TLink Link() const { return link_; }
    // The line hung up and the window waits for its port to come back.
    bool LineLost() const { return lost_; }

    // The relay group's two ways; shownPort is what the chooser shows.
    void ConnectRelay(const QString& shownPort);
    void DisconnectRelay();
    // The loft button's: the clock answered on port, which the port has
    // already been given.
    void ConnectLoft(const QString& port);
    void DisconnectLoft();

    void ComPort1RxChar(serial::TComPort& sender, int count);
    // Before the port closes: the acknowledgements due go out when due,
    // under the pause's rule.
    void SendDueAcks();

private:
    void AckFailed(const std::exception_ptr& error);
    void SetUpComPort();
    void ComPort1MonitorEnded(const std::string& message);
    void Show();
    // Both disconnects: the port closed and the link gone; the caller shows
    // the rest.
    void CloseLink();
    bool GiveUpPort();
    void LoseLine();
    bool EndLine();
    void TryReopen();
    void StopWaiting();

    printout::PrintoutSheet& sheet_;
    TConnectionView& view_;
    clocklink::PortOpsOf<serial::TComPort> portOps_{ComPort1};
    clocklink::FrameReceiver receiver_;
    TLink link_ = TLink::Idle;
    TConnectionShown shown_;
    // A pulled cable: the port is closed, the link stands.
    bool lost_ = false;
    TLineWatch* lineWatch_ = nullptr;
    // What the system said the port was when it was connected: only the same
    // device is taken back after a lost line.
    serial::ComPortDescription description_;
};

} // namespace app
