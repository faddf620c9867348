#include "form1.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QStyledItemDelegate>
#include <QTimer>
#include <cerrno>
#include <functional>

#include "app/application.h"
#include "app/pause.h"
#include "app/sheet_commands.h"
#include "app/widgets.h"
#include "clocklink/loft_scan.h"
#include "printout/page_printing.h"
#include "printout/sheet_view.h"
#include "serial/errors.h"
#include "serial/ports.h"

namespace app {
namespace {

// The window's captions that follow the connection, translated in this one
// place.
QString ConnectCaption() { return TForm1::tr("Connect"); }
QString DisconnectCaption() { return TForm1::tr("Disconnect"); }
QString ConnectLoftCaption() { return TForm1::tr("Connect K7 (Loft)"); }
QString DisconnectLoftCaption() { return TForm1::tr("Disconnect K7"); }

QFont ButtonFont()
{
    QFont font(QStringLiteral("MS Sans Serif"), 12);
    font.setBold(true);
    return font;
}

bool PermissionDenied(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const serial::EComPort& e) {
        return e.PortErrorCode() == serial::CError_OpenFailed &&
               (e.SystemErrorCode() == EACCES || e.SystemErrorCode() == EPERM);
    } catch (...) {
        return false;
    }
}

QColor ToQColor(clocklink::LampColor c)
{
    return QColor(c.red, c.green, c.blue);
}

// The chooser's drop-down list shows its entries 18 pixels high.
class TListEntryDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), 18);
    }
};

// The port chooser reads the machine's ports again each time its list opens,
// so an adapter plugged in after start shows up. An edit field shows the end
// of a text wider than itself ("tyUSB0"); the chooser shows a name from its
// first character whenever nobody is typing in it.
class TPortChooser : public QComboBox {
public:
    TPortChooser(QWidget* parent, std::function<void()> beforePopup)
        : QComboBox(parent), beforePopup_(std::move(beforePopup))
    {
        setEditable(true);
        // Setting a text puts the cursor at its end, even the same text.
        connect(lineEdit(), &QLineEdit::cursorPositionChanged, this, [this](int, int position) {
            if (position != 0 && !hasFocus())
                lineEdit()->setCursorPosition(0);
        });
    }
    void showPopup() override
    {
        beforePopup_();
        QComboBox::showPopup();
    }

protected:
    void focusOutEvent(QFocusEvent* event) override
    {
        QComboBox::focusOutEvent(event);
        lineEdit()->setCursorPosition(0);
    }

private:
    std::function<void()> beforePopup_;
};

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, const QString& hint)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setFont(ButtonFont());
    button->setToolTip(hint);
    button->setAccessibleDescription(hint);
    button->setAutoDefault(false);
    return button;
}

QLabel* MakeLabel(QWidget* parent, const char* name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

void SetLabel(QLabel* label, const QString& text)
{
    label->setText(text);
    label->adjustSize(); // sized to its text
    label->setAccessibleName(text);
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent),
      connection_(std::make_unique<TConnection>(sheet_, static_cast<TConnectionView&>(*this))),
      ComPort1(connection_->ComPort1)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(tr("TAVELIN Quillprint 2.0"));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    BuildLayout();
    resize(kClientWidth, kClientHeight);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        // Centred on the screen, frame included.
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    }
    Guarded([this] { FormCreate(); });
}

TForm1::~TForm1()
{
    // Closing may still run handlers queued by the monitor; the widgets and
    // the sheet are alive until it is done. The grid goes before the sheet
    // it watches; the connection unhooks the port as it goes.
    connection_->CloseAtEnd();
    delete StringGrid1;
    StringGrid1 = nullptr;
}

void TForm1::Place(QWidget* widget, int left, int top, int width, int height, Qt::Edges anchors)
{
    widget->setGeometry(left, top, width, height);
    if (widget->parentWidget() == this)
        anchored_.push_back({widget, QRect(left, top, width, height), anchors});
}

void TForm1::BuildLayout()
{
    Image1 = new TImage(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->SetPicture(LogoPicture());
    Image1->setAccessibleName(tr("TAVELIN logo"));
    Place(Image1, 495, 16, 215, 49, Qt::TopEdge | Qt::RightEdge);

    Shape2 = new TShape(this);
    Shape2->setObjectName(QStringLiteral("Shape2"));
    Shape2->SetBrushColor(QColor(192, 192, 192));
    Shape2->setAccessibleName(tr("Frame lamp rim"));
    Place(Shape2, 496, 64, 25, 25, Qt::TopEdge | Qt::LeftEdge);

    Shape1 = new TShape(this);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->SetBrushColor(Qt::white);
    Shape1->setAccessibleName(tr("Frame lamp"));
    Place(Shape1, 499, 68, 20, 17, Qt::TopEdge | Qt::LeftEdge);

    StringGrid1 = new printout::SheetGrid(sheet_, this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setFont(QFont(QStringLiteral("Courier"), 8));
    StringGrid1->setAccessibleName(tr("Printout"));
    Place(StringGrid1, 16, 96, 714, 434, Qt::LeftEdge | Qt::TopEdge | Qt::RightEdge | Qt::BottomEdge);

    BitBtn2 = MakeButton(this, "BitBtn2", tr("Print"), tr("Print the Page on your standart Printer"));
    Place(BitBtn2, 16, 539, 129, 40, Qt::LeftEdge | Qt::BottomEdge);
    BitBtn3 = MakeButton(this, "BitBtn3", tr("Exit"), tr("Exit the Program"));
    Place(BitBtn3, 600, 539, 129, 40, Qt::RightEdge | Qt::BottomEdge);
    BitBtn4 = MakeButton(this, "BitBtn4", tr("Clear Screen"), tr("Clear the Screen"));
    Place(BitBtn4, 152, 539, 129, 40, Qt::LeftEdge | Qt::BottomEdge);

    GroupBox1 = new QGroupBox(tr("TAVELIN Corvan K7 (Loft Mode)"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    Place(GroupBox1, 16, 8, 217, 81, Qt::TopEdge | Qt::LeftEdge);
    lbl_k7_on_comport = MakeLabel(GroupBox1, "lbl_k7_on_comport");
    Place(lbl_k7_on_comport, 16, 64, 3, 13, Qt::TopEdge | Qt::LeftEdge);
    Button1 = MakeButton(GroupBox1, "Button1", ConnectLoftCaption(), tr("Automatic Scan for a TAVELIN Corvan K7 clock"));
    Place(Button1, 16, 18, 161, 39, Qt::TopEdge | Qt::LeftEdge);

    GroupBox2 = new QGroupBox(tr("TAVELIN Ringwell"), this);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    Place(GroupBox2, 248, 8, 241, 81, Qt::TopEdge | Qt::LeftEdge);
    lbl_p3_connected = MakeLabel(GroupBox2, "lbl_p3_connected");
    Place(lbl_p3_connected, 16, 64, 3, 13, Qt::TopEdge | Qt::LeftEdge);
    BitBtn1 = MakeButton(GroupBox2, "BitBtn1", ConnectCaption(), tr("Connect Pigeon clock via Ringwell to PC"));
    Place(BitBtn1, 104, 16, 129, 41, Qt::TopEdge | Qt::LeftEdge);
    ComboBox1 = new TPortChooser(GroupBox2, [this] { RefreshPortChooser(); });
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setEditable(true);
    ComboBox1->setInsertPolicy(QComboBox::NoInsert);
    ComboBox1->setFont(QFont(QStringLiteral("Arial"), 12));
    ComboBox1->setAccessibleName(tr("Port"));
    ComboBox1->setItemDelegate(new TListEntryDelegate(ComboBox1));
    ComboBox1->addItem(QString()); // the layout's one empty entry
    Place(ComboBox1, 16, 23, 81, 26, Qt::TopEdge | Qt::LeftEdge);

    // Tab order of the layout: grid, Print, Exit, Clear Screen, then the groups.
    setTabOrder(StringGrid1, BitBtn2);
    setTabOrder(BitBtn2, BitBtn3);
    setTabOrder(BitBtn3, BitBtn4);
    setTabOrder(BitBtn4, Button1);
    setTabOrder(Button1, BitBtn1);
    setTabOrder(BitBtn1, ComboBox1);

    BitBtn2->setEnabled(false);
    BitBtn4->setEnabled(false);

    const auto handler = [this](void (TForm1::*fn)()) { return [this, fn] { Guarded([this, fn] { (this->*fn)(); }); }; };
    connect(BitBtn1, &QPushButton::clicked, this, handler(&TForm1::BitBtn1Click));
    connect(Button1, &QPushButton::clicked, this, handler(&TForm1::Button1Click));
    connect(BitBtn2, &QPushButton::clicked, this, handler(&TForm1::BitBtn2Click));
    connect(BitBtn3, &QPushButton::clicked, this, handler(&TForm1::BitBtn3Click));
    connect(BitBtn4, &QPushButton::clicked, this, handler(&TForm1::BitBtn4Click));
    // Only the user's changes: typing, or picking an entry.
    connect(ComboBox1->lineEdit(), &QLineEdit::textEdited, this, handler(&TForm1::ComboBox1Change));
    connect(ComboBox1, &QComboBox::textActivated, this, handler(&TForm1::ComboBox1Change));
    // The sheet's context menu.
    connect(StringGrid1, &printout::SheetGrid::SaveAsPdfRequested, this,
            [this] { Guarded([this] { SaveSheetAsPdf(this, sheet_); }); });
    connect(StringGrid1, &printout::SheetGrid::PrintOnRequested, this,
            [this] { Guarded([this] { PrintSheetOn(this, sheet_); }); });
}

// Click handlers run here: what they throw is shown in the error box before
// it could unwind through Qt's signal code. A port that cannot be opened is
// the one ComPort1 names.
template <class Fn>
void TForm1::Guarded(Fn&& fn)
{
    try {
        fn();
    } catch (...) {
        ShowCurrentException(ComPort1.Port());
    }
}

void TForm1::FormCreate()
{
    connection_->Receiver().Reset();
    sheet_.SetUp();
    FillPortChooser();
    if (ComboBox1->count() > 0 && !ComboBox1->itemText(0).isEmpty()) {
        ComboBox1->setCurrentIndex(0);
        ComboBox1->setEditText(ComboBox1->itemText(0));
        ComPort1.SetPort(ComboBox1->itemText(0).toStdString());
    }
}

// Replaces the chooser's list with the machine's ports; a failure leaves the
// list as it was (the loft toggle empties it first).
void TForm1::FillPortChooser()
{
    std::vector<std::string> ports;
    serial::ListComPorts(ports);
    const QString text = ComboBox1->currentText();
    ComboBox1->clear();
    for (const std::string& port : ports)
        ComboBox1->addItem(QString::fromStdString(port));
    ComboBox1->setEditText(text);
}

void TForm1::RefreshPortChooser()
{
    try {
        FillPortChooser();
    } catch (const std::exception&) {
        // The list stays as it was; the failure shows at the next loft scan.
    }
}

// The port name is the text the user sees (inline completion included),
// without spaces around it.
QString TForm1::ChooserText() const
{
    return ComboBox1->currentText().trimmed();
}

std::vector<std::string> TForm1::ChooserEntries() const
{
    std::vector<std::string> entries;
    for (int i = 0; i < ComboBox1->count(); ++i)
        entries.push_back(ComboBox1->itemText(i).toStdString());
    return entries;
}

void TForm1::ComboBox1Change()
{
    ComPort1.SetPort(ChooserText().toStdString());
}

void TForm1::BitBtn1Click()
{
    if (connection_->Link() == TLink::Idle) {
        if (!SheetMayEnd())
            return;
        // Typing leaves the name before the chooser's completion; what is
        // shown now is what opens (an empty chooser keeps the port's name).
        if (!ChooserText().isEmpty())
            ComboBox1Change();
        connection_->ConnectRelay(ChooserText());
    } else if (connection_->Link() == TLink::Relay) {
        connection_->DisconnectRelay();
    } else {
        connection_->DisconnectLoft(); // hidden then: only code reaches here
    }
}

void TForm1::Button1Click()
{
    if (connection_->Link() == TLink::Loft) {
        connection_->DisconnectLoft();
        return;
    }
    if (!SheetMayEnd())
        return;
    // The list goes first, its shown text stays; a failure stops here.
    const QString text = ComboBox1->currentText();
    ComboBox1->clear();
    ComboBox1->setEditText(text);
    FillPortChooser();
    if (connection_->Link() == TLink::Relay)
        connection_->DisconnectRelay();
    // The scan does not run the loop: nothing may be due meanwhile.
    connection_->SendDueAcks();
    std::optional<std::string> found;
    clocklink::ProbeFailures failures;
    {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        struct RestoreCursor {
            ~RestoreCursor() { QGuiApplication::restoreOverrideCursor(); }
        } restore;
        found = clocklink::ScanForLoftClock<serial::TComPort>(ChooserEntries(), &failures);
    }
    if (!found) {
        QStringList denied;
        for (const auto& [name, error] : failures)
            if (PermissionDenied(error))
                denied << QString::fromStdString(name);
        QString hint;
        if (!denied.isEmpty())
            hint = tr("Not allowed to open %1.").arg(denied.join(QStringLiteral(", "))) + QLatin1Char(' ') +
                   PermissionAdvice();
        ShowMessage(tr("No TAVELIN Corvan K7 found!"), hint);
        return;
    }
    const QString port = QString::fromStdString(*found);
    ComboBox1->setEditText(port);
    ComboBox1Change();
    connection_->ConnectLoft(port);
}

bool TForm1::SheetMayEnd()
{
    return !sheetEndCheck_ || sheetEndCheck_();
}

void TForm1::ShowPrintoutKept()
{
    if (!keptNote_) {
        keptNote_ = new QTimer(this);
        keptNote_->setSingleShot(true);
        connect(keptNote_, &QTimer::timeout, this, [this] { ShowConnection(shown_); });
    }
    keptNote_->start(10000);
    ShowConnection(shown_);
}

void TForm1::ShowConnection(const TConnectionShown& shown)
{
    shown_ = shown;
    // The note goes in the label of the link in use; a lost line is said
    // instead.
    const bool note = keptNote_ && keptNote_->isActive() && !shown.lostPort;
    const auto labelText = [&shown](const std::optional<QString>& port, const QString& connectedOn, bool note) {
        if (note)
            return tr("Printout on disk again");
        if (!port)
            return QString();
        // Said first and short: the group boxes cut off a longer label, and
        // "connected on ... (line lost, waiting)" would lose its point.
        if (shown.lostPort)
            return tr("Line lost on %1, waiting").arg(*shown.lostPort);
        return connectedOn.arg(*port);
    };
    const auto setText = [](QLabel* label, const QString& text) {
        if (label->text() != text)
            SetLabel(label, text);
    };
    setText(lbl_p3_connected, labelText(shown.p3Port, tr("Pigeon clock connected on %1"), note && !shown.k7Port));
    setText(lbl_k7_on_comport, labelText(shown.k7Port, tr("Corvan K7 connected on %1"), note && shown.k7Port));
    BitBtn1->setText(shown.relayDisconnects ? DisconnectCaption() : ConnectCaption());
    BitBtn1->setEnabled(true);
    Button1->setText(shown.loftDisconnects ? DisconnectLoftCaption() : ConnectLoftCaption());
    BitBtn2->setEnabled(shown.printoutEnabled);
    BitBtn4->setEnabled(shown.printoutEnabled);
    ComboBox1->setEnabled(shown.chooserEnabled);
    GroupBox2->setHidden(shown.loftDisconnects);
}

void TForm1::ShowLamp(clocklink::LampColor color)
{
    Shape1->SetBrushColor(ToQColor(color));
}

void TForm1::ShowPortError(const QString& message, bool lineLost, const QString& hint)
{
    ShowOutsideWaits([this, message, lineLost, hint, alive = QPointer<TForm1>(this)] {
        // A line lost inside a wait may be back before its box could open.
        if (!alive || (lineLost && !LineLost()))
            return;
        const std::unique_ptr<QMessageBox> box = MakeErrorBox(message, hint);
        if (lineLost)
            lineLostBox_ = box.get();
        box->exec();
    });
}

void TForm1::LineBack()
{
    // The box said the line was lost; that is over.
    if (lineLostBox_)
        lineLostBox_->done(QMessageBox::Ok);
}

void TForm1::BitBtn2Click()
{
    printout::PrintSheet(sheet_);
}

void TForm1::BitBtn3Click()
{
    if (SheetMayEnd())
        QCoreApplication::quit();
}

void TForm1::BitBtn4Click()
{
    if (SheetMayEnd())
        sheet_.ResetSheet();
}

void TForm1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int dx = width() - kClientWidth;
    const int dy = height() - kClientHeight;
    for (const Anchored& a : anchored_) {
        QRect r = a.design;
        const bool left = a.anchors & Qt::LeftEdge, right = a.anchors & Qt::RightEdge;
        const bool top = a.anchors & Qt::TopEdge, bottom = a.anchors & Qt::BottomEdge;
        if (left && right)
            r.setWidth(std::max(0, r.width() + dx));
        else if (right)
            r.translate(dx, 0);
        if (top && bottom)
            r.setHeight(std::max(0, r.height() + dy));
        else if (bottom)
            r.translate(0, dy);
        a.widget->setGeometry(r);
    }
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // The frame's close button is Exit.
    if (!SheetMayEnd()) {
        event->ignore();
        return;
    }
    event->accept();
    QCoreApplication::quit();
}

} // namespace app
