#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QAbstractItemView>
#include <QComboBox>
#include <QStyleOptionViewItem>
#include <QFontInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <fstream>
#include <optional>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/line_watch.h"
#include "app/widgets.h"
#include "app/qt_translator.h"
#include "printout/sheet_view.h"
#include "window_rig.h"
#include "../qt_test_app.h"

using namespace testing_support;

namespace {

struct Program {
    Program() { SetUpProgram(); }
};

struct WindowTest : ::testing::Test, Program {
    FakePortTree ports;
};

// The user's language for one case: LANG set, the other language variables
// unset; all four restored afterwards.
class ScopedLang {
public:
    explicit ScopedLang(const char* lang)
    {
        for (const char* name : kNames) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::unsetenv(name);
        }
        ::setenv("LANG", lang, 1);
    }
    ~ScopedLang()
    {
        for (const auto& [name, value] : saved_)
            value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }

private:
    static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

QRect Geometry(QWidget* w)
{
    return w->geometry();
}

} // namespace

TEST_F(WindowTest, LayoutCaptionsHintsAndFonts)
{
    app::TForm1 form;
    EXPECT_EQ(form.windowTitle(), "TAVELIN Quillprint 2.0");
    EXPECT_EQ(form.objectName(), "Form1");
    EXPECT_EQ(form.size(), QSize(742, 589));

    struct Expected {
        QWidget* widget;
        const char* name;
        QRect geometry;
        QWidget* parent;
    };
    const Expected table[] = {
        {form.Image1, "Image1", {495, 16, 215, 49}, &form},
        {form.Shape2, "Shape2", {496, 64, 25, 25}, &form},
        {form.Shape1, "Shape1", {499, 68, 20, 17}, &form},
        {form.StringGrid1, "StringGrid1", {16, 96, 714, 434}, &form},
        {form.BitBtn2, "BitBtn2", {16, 539, 129, 40}, &form},
        {form.BitBtn3, "BitBtn3", {600, 539, 129, 40}, &form},
        {form.BitBtn4, "BitBtn4", {152, 539, 129, 40}, &form},
        {form.GroupBox1, "GroupBox1", {16, 8, 217, 81}, &form},
        {form.Button1, "Button1", {16, 18, 161, 39}, form.GroupBox1},
        {form.GroupBox2, "GroupBox2", {248, 8, 241, 81}, &form},
        {form.BitBtn1, "BitBtn1", {104, 16, 129, 41}, form.GroupBox2},
        {form.ComboBox1, "ComboBox1", {16, 23, 81, 26}, form.GroupBox2},
    };
    for (const Expected& e : table) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.widget->objectName(), e.name);
        EXPECT_EQ(Geometry(e.widget), e.geometry);
        EXPECT_EQ(e.widget->parentWidget(), e.parent);
        EXPECT_EQ(form.findChild<QWidget*>(e.name), e.widget);
    }
    EXPECT_EQ(form.lbl_k7_on_comport->parentWidget(), form.GroupBox1);
    EXPECT_EQ(form.lbl_k7_on_comport->pos(), QPoint(16, 64));
    EXPECT_EQ(form.lbl_p3_connected->parentWidget(), form.GroupBox2);
    EXPECT_EQ(form.lbl_p3_connected->pos(), QPoint(16, 64));

    EXPECT_EQ(form.BitBtn2->text(), "Print");
    EXPECT_EQ(form.BitBtn3->text(), "Exit");
    EXPECT_EQ(form.BitBtn4->text(), "Clear Screen");
    EXPECT_EQ(form.Button1->text(), "Connect K7 (Loft)");
    EXPECT_EQ(form.BitBtn1->text(), "Connect");
    EXPECT_EQ(form.GroupBox1->title(), "TAVELIN Corvan K7 (Loft Mode)");
    EXPECT_EQ(form.GroupBox2->title(), "TAVELIN Ringwell");
    EXPECT_EQ(form.BitBtn2->toolTip(), "Print the Page on your standart Printer");
    EXPECT_EQ(form.BitBtn3->toolTip(), "Exit the Program");
    EXPECT_EQ(form.BitBtn4->toolTip(), "Clear the Screen");
    EXPECT_EQ(form.Button1->toolTip(), "Automatic Scan for a TAVELIN Corvan K7 clock");
    EXPECT_EQ(form.BitBtn1->toolTip(), "Connect Pigeon clock via Ringwell to PC");
    for (QWidget* w : {static_cast<QWidget*>(form.ComboBox1), static_cast<QWidget*>(form.StringGrid1),
                       static_cast<QWidget*>(form.GroupBox1), static_cast<QWidget*>(form.Image1)})
        EXPECT_TRUE(w->toolTip().isEmpty());

    // Fonts: the stand-ins keep size, weight and pitch.
    for (QPushButton* b : {form.BitBtn1, form.BitBtn2, form.BitBtn3, form.BitBtn4, form.Button1}) {
        const QFontInfo info(b->font());
        EXPECT_EQ(info.family(), "Liberation Sans");
        EXPECT_EQ(b->font().pointSize(), 12);
        EXPECT_TRUE(info.bold());
    }
    EXPECT_EQ(QFontInfo(form.font()).family(), "Liberation Sans");
    EXPECT_EQ(form.font().pointSize(), 8);
    EXPECT_EQ(QFontInfo(form.ComboBox1->font()).family(), "Liberation Sans");
    EXPECT_EQ(form.ComboBox1->font().pointSize(), 12);
    QStyleOptionViewItem item;
    item.initFrom(form.ComboBox1->view());
    EXPECT_EQ(form.ComboBox1->itemDelegate()->sizeHint(item, form.ComboBox1->model()->index(0, 0)).height(), 18);
    const QFontInfo grid(form.StringGrid1->font());
    EXPECT_EQ(grid.family(), "Liberation Mono");
    EXPECT_TRUE(grid.fixedPitch());
    EXPECT_EQ(form.StringGrid1->font().pointSize(), 8);

    // Initial states.
    EXPECT_FALSE(form.BitBtn2->isEnabled());
    EXPECT_FALSE(form.BitBtn4->isEnabled());
    EXPECT_TRUE(form.BitBtn3->isEnabled());
    EXPECT_TRUE(form.Button1->isEnabled());
    EXPECT_TRUE(form.BitBtn1->isEnabled());
    EXPECT_TRUE(form.ComboBox1->isEnabled());
    EXPECT_TRUE(form.ComboBox1->isEditable());
    EXPECT_TRUE(form.lbl_k7_on_comport->text().isEmpty());
    EXPECT_TRUE(form.lbl_p3_connected->text().isEmpty());
    EXPECT_EQ(form.Shape1->BrushColor(), QColor(Qt::white));
    EXPECT_EQ(form.Shape2->BrushColor(), QColor(192, 192, 192));
    EXPECT_EQ(form.Sheet().RowCount(), 1);
    EXPECT_EQ(form.Sheet().RowHeight(0), 1);
    EXPECT_EQ(form.Sheet().NextRow(), 0);
    EXPECT_FALSE(form.ComPort1.Connected());

    // Tab order: grid, Print, Exit, Clear Screen, loft button, Connect, chooser.
    form.show();
    ASSERT_TRUE(testing_support::ActivateWindow(form));
    form.BitBtn2->setEnabled(true);
    form.BitBtn4->setEnabled(true);
    form.StringGrid1->setFocus();
    std::vector<QWidget*> order{QApplication::focusWidget()};
    for (int i = 0; i < 6; ++i) {
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(QApplication::focusWidget(), &tab);
        QWidget* focused = QApplication::focusWidget();
        order.push_back(focused && focused->parentWidget() == form.ComboBox1 ? form.ComboBox1 : focused);
    }
    EXPECT_EQ(order, (std::vector<QWidget*>{form.StringGrid1, form.BitBtn2, form.BitBtn3, form.BitBtn4,
                                            form.Button1, form.BitBtn1, form.ComboBox1}));
}

TEST_F(WindowTest, AnchorsFollowAResize)
{
    app::TForm1 form;
    form.show();
    form.resize(742 + 100, 589 + 60);
    EXPECT_EQ(form.StringGrid1->geometry(), QRect(16, 96, 814, 494));
    EXPECT_EQ(form.BitBtn2->geometry(), QRect(16, 599, 129, 40));
    EXPECT_EQ(form.BitBtn4->geometry(), QRect(152, 599, 129, 40));
    EXPECT_EQ(form.BitBtn3->geometry(), QRect(700, 599, 129, 40));
    EXPECT_EQ(form.Image1->geometry(), QRect(595, 16, 215, 49));
    EXPECT_EQ(form.GroupBox1->geometry(), QRect(16, 8, 217, 81));
    EXPECT_EQ(form.GroupBox2->geometry(), QRect(248, 8, 241, 81));
    EXPECT_EQ(form.Shape1->geometry(), QRect(499, 68, 20, 17));
    form.resize(742, 589);
    EXPECT_EQ(form.StringGrid1->geometry(), QRect(16, 96, 714, 434));
    EXPECT_EQ(form.BitBtn3->geometry(), QRect(600, 539, 129, 40));
}

TEST_F(WindowTest, LampAndLogoAreDrawnAsLaidOut)
{
    app::TForm1 form;
    form.show();
    // The lamp: a 17-pixel circle centred in its 20 x 17 box.
    EXPECT_EQ(form.Shape1->CircleRect(), QRect(1, 0, 17, 17));
    EXPECT_EQ(form.Shape2->CircleRect(), QRect(0, 0, 25, 25));
    form.Shape1->SetBrushColor(QColor(0, 255, 0));
    const QImage lamp = form.Shape1->grab().toImage();
    EXPECT_EQ(lamp.pixelColor(10, 8), QColor(0, 255, 0));
    EXPECT_NE(lamp.pixelColor(0, 0), QColor(0, 255, 0));
    EXPECT_EQ(form.Shape1->accessibleDescription(), "lime");

    // The logo is the program's JPEG at its own size, not scaled.
    const QImage logo = app::LogoPicture();
    EXPECT_EQ(logo.size(), QSize(215, 49));
    const QImage shown = form.Image1->grab().toImage().convertToFormat(QImage::Format_RGB888);
    const QImage expected = logo.convertToFormat(QImage::Format_RGB888);
    for (QPoint p : {QPoint(0, 0), QPoint(100, 20), QPoint(214, 48)})
        EXPECT_EQ(shown.pixelColor(p), expected.pixelColor(p));
    EXPECT_THROW(app::DecodeJpeg(reinterpret_cast<const unsigned char*>("not a jpeg"), 10), std::runtime_error);
}

TEST_F(WindowTest, ChooserIsFilledSortedAndPicksTheFirstPort)
{
    QuietLine a, b, c;
    ports.Add("ttyUSB2", a.path);
    ports.Add("ttyUSB10", b.path);
    ports.Add("ttyACM0", c.path);
    app::TForm1 form;
    ASSERT_EQ(form.ComboBox1->count(), 3);
    EXPECT_EQ(form.ComboBox1->itemText(0), "ttyACM0");
    EXPECT_EQ(form.ComboBox1->itemText(1), "ttyUSB10");
    EXPECT_EQ(form.ComboBox1->itemText(2), "ttyUSB2");
    EXPECT_EQ(form.ComboBox1->currentText(), "ttyACM0");
    EXPECT_EQ(form.ComPort1.Port(), "ttyACM0");
}

TEST_F(WindowTest, EmptyPortListLeavesCom1)
{
    app::TForm1 form;
    EXPECT_EQ(form.ComboBox1->count(), 0);
    EXPECT_TRUE(form.ComboBox1->currentText().isEmpty());
    EXPECT_EQ(form.ComPort1.Port(), "COM1");
}

TEST_F(WindowTest, MissingPortListShowsRegistryErrorAndTheWindowStillOpens)
{
    ports.RemoveList();
    BoxAnswerer boxes;
    app::TForm1 form;
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].title, "Quillprint");
    EXPECT_EQ(boxes.seen[0].text, "Registry error (win error code: 2)");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(boxes.seen[0].buttons, 1);
    ASSERT_EQ(form.ComboBox1->count(), 1);
    EXPECT_TRUE(form.ComboBox1->itemText(0).isEmpty());
    EXPECT_EQ(form.ComPort1.Port(), "COM1");
}

TEST_F(WindowTest, ConnectOnAPortThatCannotOpen)
{
    app::TForm1 form; // empty list: Connect tries "COM1"
    BoxAnswerer boxes;
    form.BitBtn1->click();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "Unable to open com port (win error code: 2)");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(form.BitBtn1->text(), "Connect");
    EXPECT_FALSE(form.ComPort1.Connected());
    EXPECT_FALSE(form.BitBtn2->isEnabled());
    EXPECT_TRUE(form.lbl_p3_connected->text().isEmpty());
}

TEST_F(WindowTest, ErrorBoxFullStopRule)
{
    EXPECT_EQ(app::WithFullStop("Printing in progress"), "Printing in progress.");
    EXPECT_EQ(app::WithFullStop("code 5"), "code 5.");
    EXPECT_EQ(app::WithFullStop("Done."), "Done.");
    EXPECT_EQ(app::WithFullStop("No clock!"), "No clock!");
    EXPECT_EQ(app::WithFullStop("(win error code: 2)"), "(win error code: 2)");
    EXPECT_EQ(app::WithFullStop(""), "");
    EXPECT_EQ(app::WithFullStop("ends with /"), "ends with /.");
}

TEST_F(WindowTest, ExceptionsReachingTheLoopAreShownAndTheProgramGoesOn)
{
    BoxAnswerer boxes;
    QObject target;
    QTimer::singleShot(0, &target, [] { throw std::runtime_error("Handler failed"); });
    RunEventsUntil([&] { return !boxes.seen.empty(); });
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "Handler failed.");
    EXPECT_EQ(boxes.seen[0].title, "Quillprint");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
}

TEST_F(WindowTest, AccessibleNamesAndDescriptions)
{
    app::TForm1 form;
    QAccessibleInterface* print = QAccessible::queryAccessibleInterface(form.BitBtn2);
    ASSERT_NE(print, nullptr);
    EXPECT_EQ(print->text(QAccessible::Name), "Print");
    EXPECT_EQ(print->text(QAccessible::Description), "Print the Page on your standart Printer");
    QAccessibleInterface* loft = QAccessible::queryAccessibleInterface(form.Button1);
    EXPECT_EQ(loft->text(QAccessible::Name), "Connect K7 (Loft)");
    QAccessibleInterface* group = QAccessible::queryAccessibleInterface(form.GroupBox1);
    EXPECT_EQ(group->text(QAccessible::Name), "TAVELIN Corvan K7 (Loft Mode)");
    QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(form.StringGrid1);
    ASSERT_NE(grid, nullptr);
    ASSERT_NE(grid->tableInterface(), nullptr);
    EXPECT_EQ(grid->tableInterface()->rowCount(), 1);
}

TEST_F(WindowTest, TogglesReadTheirCaptionsWithoutAcceleratorMarks)
{
    QuietLine line;
    ports.Add("ttyUSB0", line.path);
    app::TForm1 form;
    BoxAnswerer boxes;
    // Captions as a desktop that adds keyboard accelerators shows them.
    form.BitBtn1->setText("&Connect");
    form.BitBtn1->click();
    EXPECT_TRUE(form.ComPort1.Connected());
    EXPECT_EQ(form.BitBtn1->text(), "Disconnect");
    form.BitBtn1->setText("Dis&connect");
    form.BitBtn1->click();
    EXPECT_FALSE(form.ComPort1.Connected());
    EXPECT_EQ(form.BitBtn1->text(), "Connect");
    form.Button1->setText("Connect K7 (&Loft)");
    form.Button1->click(); // scans: the quiet line is no clock
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "No TAVELIN Corvan K7 found!");
    EXPECT_TRUE(boxes.seen[0].hint.isEmpty());
}

// Every text of the window from the shipped catalogues; C and a language
// without a catalogue keep the laid-out English exactly. The toggles work
// on the translated captions.
TEST_F(WindowTest, SpeaksTheUsersLanguage)
{
    struct Texts {
        const char *print, *exit, *clear, *loft, *connect, *disconnect;
        const char *printHint, *loftHint, *connectHint, *loftTitle, *connectedOn, *notFound, *grid;
    };
    const Texts english{"Print", "Exit", "Clear Screen", "Connect K7 (Loft)", "Connect", "Disconnect",
                        "Print the Page on your standart Printer",
                        "Automatic Scan for a TAVELIN Corvan K7 clock",
                        "Connect Pigeon clock via Ringwell to PC", "TAVELIN Corvan K7 (Loft Mode)",
                        "Pigeon clock connected on ", "No TAVELIN Corvan K7 found!", "Printout"};
    const Texts german{"Drucken", "Beenden", "Blatt leeren", "K7 verbinden", "Verbinden", "Trennen",
                       "Die Seite auf Ihrem Standarddrucker drucken",
                       "Automatische Suche nach einer Konstatieruhr TAVELIN Corvan K7",
                       "Konstatieruhr über Ringwell mit dem PC verbinden", "TAVELIN Corvan K7 (Schlagmodus)",
                       "Konstatieruhr verbunden an ", "Keine TAVELIN Corvan K7 gefunden!", "Ausdruck"};
    const Texts polish{"Drukuj", "Zakończ", "Wyczyść ekran", "Połącz K7", "Połącz", "Rozłącz",
                       "Drukuj stronę na drukarce domyślnej",
                       "Automatyczne wyszukiwanie zegara TAVELIN Corvan K7",
                       "Połącz zegar gołębiarski z komputerem przez Ringwell",
                       "TAVELIN Corvan K7 (tryb gołębnika)", "Zegar gołębiarski połączony na ",
                       "Nie znaleziono TAVELIN Corvan K7!", "Wydruk"};
    const std::pair<const char*, const Texts*> cases[] = {
        {"C", &english}, {"es_ES.UTF-8", &english}, {"de_DE.UTF-8", &german}, {"pl_PL.UTF-8", &polish}};
    for (const auto& [lang, texts] : cases) {
        SCOPED_TRACE(lang);
        const Texts& c = *texts;
        ScopedLang scoped(lang);
        ASSERT_TRUE(app::InitMessageCatalogues(QP_SHIPPED_LOCALE_DIR).Empty());
        struct Stop {
            ~Stop() { app::StopMessageCatalogues(); }
        } stop;
        FakePortTree tree;
        QuietLine line;
        tree.Add("ttyUSB0", line.path);
        app::TForm1 form;
        BoxAnswerer boxes;
        const auto caption = [](QPushButton* b) { return b->text().toStdString(); };
        EXPECT_EQ(form.windowTitle(), "TAVELIN Quillprint 2.0");
        EXPECT_EQ(caption(form.BitBtn2), c.print);
        EXPECT_EQ(caption(form.BitBtn3), c.exit);
        EXPECT_EQ(caption(form.BitBtn4), c.clear);
        EXPECT_EQ(caption(form.Button1), c.loft);
        EXPECT_EQ(caption(form.BitBtn1), c.connect);
        EXPECT_EQ(form.BitBtn2->toolTip().toStdString(), c.printHint);
        EXPECT_EQ(form.Button1->toolTip().toStdString(), c.loftHint);
        EXPECT_EQ(form.BitBtn1->accessibleDescription().toStdString(), c.connectHint);
        EXPECT_EQ(form.GroupBox1->title().toStdString(), c.loftTitle);
        EXPECT_EQ(form.GroupBox2->title(), "TAVELIN Ringwell");
        EXPECT_EQ(form.StringGrid1->accessibleName().toStdString(), c.grid);

        form.BitBtn1->click();
        ASSERT_TRUE(form.ComPort1.Connected());
        EXPECT_EQ(caption(form.BitBtn1), c.disconnect);
        EXPECT_EQ(form.lbl_p3_connected->text().toStdString(), std::string(c.connectedOn) + "ttyUSB0");
        EXPECT_EQ(form.lbl_p3_connected->accessibleName(), form.lbl_p3_connected->text());
        // Every caption fits its button.
        for (QPushButton* b : {form.BitBtn1, form.BitBtn2, form.BitBtn3, form.BitBtn4, form.Button1})
            EXPECT_LE(b->sizeHint().width(), b->width()) << caption(b);
        form.BitBtn1->click();
        EXPECT_FALSE(form.ComPort1.Connected());
        EXPECT_EQ(caption(form.BitBtn1), c.connect);

        form.Button1->click(); // the quiet line is no clock
        ASSERT_EQ(boxes.seen.size(), 1u);
        EXPECT_EQ(boxes.seen[0].text.toStdString(), c.notFound);
        EXPECT_EQ(caption(form.Button1), c.loft);
    }
}

TEST_F(WindowTest, TheChooserOpensTheShownTextAndRereadsThePortsWhenItDropsDown)
{
    QuietLine usb, acm;
    ports.Add("ttyUSB0", usb.path);
    app::TForm1 form;
    form.show();
    BoxAnswerer boxes; // none expected

    // Typing "ttyU": the inline completion shows "ttyUSB0", and that opens.
    QLineEdit* edit = form.ComboBox1->lineEdit();
    ASSERT_TRUE(testing_support::ActivateWindow(form));
    edit->setFocus();
    edit->clear();
    for (QChar c : QStringLiteral("ttyU")) {
        QKeyEvent key(QEvent::KeyPress, c.toUpper().unicode(), Qt::NoModifier, QString(c));
        QApplication::sendEvent(edit, &key);
    }
    ASSERT_EQ(form.ComboBox1->currentText(), "ttyUSB0");
    form.BitBtn1->click();
    EXPECT_TRUE(form.ComPort1.Connected());
    EXPECT_EQ(form.ComPort1.Port(), "ttyUSB0");
    form.BitBtn1->click();

    // Spaces around a typed name do not count.
    form.ComboBox1->setEditText("  ttyUSB0 ");
    form.BitBtn1->click();
    EXPECT_TRUE(form.ComPort1.Connected());
    EXPECT_EQ(form.lbl_p3_connected->text(), "Pigeon clock connected on ttyUSB0");
    form.BitBtn1->click();

    // An adapter plugged in after start is listed when the list opens; the
    // text shown stays.
    ports.Add("ttyACM0", acm.path);
    form.ComboBox1->setEditText("typed");
    EXPECT_EQ(form.ComboBox1->count(), 1);
    form.ComboBox1->showPopup();
    form.ComboBox1->hidePopup();
    ASSERT_EQ(form.ComboBox1->count(), 2);
    EXPECT_EQ(form.ComboBox1->itemText(0), "ttyACM0");
    EXPECT_EQ(form.ComboBox1->currentText(), "typed");
    EXPECT_TRUE(boxes.seen.empty());
}

// An edit field shows the end of a text wider than itself; the chooser shows
// a port's name from its first character whenever it has no focus.
TEST_F(WindowTest, TheChooserShowsANameFromItsStartWhenNotTypedIn)
{
    QuietLine usb;
    ports.Add("ttyUSB0", usb.path);
    app::TForm1 form;
    form.show();
    ASSERT_TRUE(testing_support::ActivateWindow(form));
    QLineEdit* edit = form.ComboBox1->lineEdit();
    const QRect shown = form.ComboBox1->geometry();
    // The character at the field's left edge, as painted.
    auto firstShown = [&] {
        edit->grab();
        return edit->cursorPositionAt(QPoint(edit->contentsRect().left() + 1, edit->height() / 2));
    };
    EXPECT_EQ(form.ComboBox1->currentText(), "ttyUSB0");
    EXPECT_EQ(firstShown(), 0);

    const QString longName = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5069RR4-if00-port0");
    ASSERT_GT(edit->fontMetrics().horizontalAdvance(longName), edit->width());
    form.ComboBox1->setEditText(longName);
    EXPECT_EQ(firstShown(), 0);

    // While typing, the end (where the letters go in) shows; leaving shows the start.
    form.ComboBox1->setFocus();
    edit->end(false);
    QKeyEvent key(QEvent::KeyPress, Qt::Key_1, Qt::NoModifier, QStringLiteral("1"));
    QApplication::sendEvent(edit, &key);
    EXPECT_GT(firstShown(), 0);
    form.BitBtn1->setFocus();
    EXPECT_EQ(firstShown(), 0);
    EXPECT_EQ(form.ComboBox1->currentText(), longName + "1");
    EXPECT_EQ(form.ComboBox1->geometry(), shown);
}

TEST_F(WindowTest, OpenFailuresWithAKnownCauseSayWhatToDo)
{
    QuietLine busy, forbidden;
    ::chmod(busy.path.c_str(), 0666);
    ::chmod(forbidden.path.c_str(), 0);
    ports.Add("ttyUSB0", busy.path);
    ports.Add("ttyS9", forbidden.path);
    // The port listing must stay readable for the check below.
    ::chmod(std::filesystem::path(ports.DevPath("ttyS9")).parent_path().parent_path().c_str(), 0755);
    app::TForm1 form;
    BoxAnswerer boxes;
    // Root passes every permission check: open the ports as nobody
    // instead.
    struct AsNobody {
        bool root = ::geteuid() == 0;
        AsNobody() { if (root) ::setfsuid(65534); }
        ~AsNobody() { if (root) ::setfsuid(0); }
    } nobody;
    auto connectTo = [&](const char* port) {
        form.ComboBox1->setEditText(port);
        form.BitBtn1->click();
        return boxes.seen.back();
    };

    const int other = ::open(busy.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0); // another program has it
    SeenBox box = connectTo("ttyUSB0");
    EXPECT_EQ(box.text, "Unable to open com port (win error code: 11)");
    EXPECT_TRUE(box.hint.contains("another program")) << box.hint.toStdString();
    ::close(other);

    box = connectTo("ttyS9");
    EXPECT_EQ(box.text, "Unable to open com port (win error code: 13)");
    EXPECT_TRUE(box.hint.contains("dialout")) << box.hint.toStdString();

    // No such port: what there is instead, and for a USB name whether an
    // adapter is plugged in.
    for (const auto& [port, hint] : std::vector<std::pair<const char*, QString>>{
             {"ttyNone", "There is no port ttyNone. Serial ports found now: ttyS9, ttyUSB0."},
             {"ttyUSB7", "There is no port ttyUSB7. Serial ports found now: ttyS9, ttyUSB0. "
                         "USB serial adapters plugged in: ttyUSB0."}}) {
        box = connectTo(port);
        EXPECT_EQ(box.text, "Unable to open com port (win error code: 2)");
        EXPECT_EQ(box.hint, hint);
    }

    // The loft scan names the ports it was not allowed to open.
    form.Button1->click();
    box = boxes.seen.back();
    EXPECT_EQ(box.text, "No TAVELIN Corvan K7 found!");
    EXPECT_TRUE(box.hint.contains("ttyS9") && box.hint.contains("dialout")) << box.hint.toStdString();
    EXPECT_FALSE(box.hint.contains("ttyUSB0"));

    const FakePortTree none;
    box = connectTo("/dev/serial/by-id/usb-FTDI_clock-if00-port0");
    EXPECT_EQ(box.hint, "There is no port /dev/serial/by-id/usb-FTDI_clock-if00-port0. "
                        "No serial port is found now. No USB serial adapter is plugged in.");
    EXPECT_EQ(boxes.seen.size(), 6u);
}

TEST(LineWatch, SeesTheNameComeBackAlsoWhenItsFolderWentAway)
{
    SetUpProgram();
    char pattern[] = "/tmp/quillprint-watch-XXXXXX";
    const fs::path root = ::mkdtemp(pattern);
    const fs::path folder = root / "by-id";
    fs::create_directory(folder);
    const std::string path = (folder / "usb-clock").string();
    int calls = 0;
    app::TLineWatch watch(path, [&] { ++calls; });
    ASSERT_TRUE(watch.Notified());

    std::ofstream(folder / "other").put('x'); // other names do not count
    RunEventsFor(50);
    EXPECT_EQ(calls, 0);
    std::ofstream(path).put('x');
    ASSERT_TRUE(RunEventsUntil([&] { return calls >= 1; }, 2000));

    // The folder goes with the device; a look twice a second takes over.
    fs::remove_all(folder);
    ASSERT_TRUE(RunEventsUntil([&] { return !watch.Notified(); }, 2000));
    RunEventsFor(app::TLineWatch::kCheckIntervalMs + 100);
    const int before = calls;
    fs::create_directory(folder);
    std::ofstream(path).put('x');
    ASSERT_TRUE(RunEventsUntil([&] { return calls > before; }, 3 * app::TLineWatch::kCheckIntervalMs));
    fs::remove_all(root);
}
