#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>
#include <QElapsedTimer>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <QAccessibleTableInterface>
#include <QImage>
#include <QScreen>
#include <QScrollBar>

#include "../qt_test_app.h"
#include "printout/clock_text.h"
#include "printout/sheet_view.h"

using printout::DecodeClockText;
using printout::PrintoutSheet;
using printout::SheetGrid;
using std::string_literals::operator""s;

namespace {

struct AppFirst {
    AppFirst() { testing_support::TestApp(); }
};

struct ViewRig : AppFirst {
    PrintoutSheet sheet;
    SheetGrid grid{sheet};
    ViewRig()
    {
        grid.setFrameShape(QFrame::NoFrame);
        grid.resize(714, 434);
        grid.show();
        sheet.ResetSheet();
    }
    void Receive(int lines, int markerEvery = 0)
    {
        for (int i = 1; i <= lines; ++i) {
            sheet.AppendLine("line " + std::to_string(i));
            if (markerEvery && i % markerEvery == 0)
                sheet.AppendPageMarker();
            sheet.ShowLastRow();
        }
    }
};

} // namespace

TEST(ClockText, DecodesWindows1252)
{
    EXPECT_EQ(DecodeClockText("M\xFCller \x80 5"), QString::fromUtf8("Müller € 5"));
    EXPECT_EQ(DecodeClockText("\x9F\x8A\xE4"), QString::fromUtf8("ŸŠä"));
    // Unassigned bytes keep their C1 code points, nothing is lost.
    EXPECT_EQ(DecodeClockText("\x81\x8D\x8F\x90\x9D").toStdU16String(), std::u16string(u"\u0081\u008D\u008F\u0090\u009D"));
    EXPECT_EQ(DecodeClockText("a\0b"s).size(), 3);
}

TEST(SheetView, ShowLastRowKeepsTheNewestRowInView)
{
    ViewRig r;
    r.Receive(500, 60);
    const int last = r.sheet.RowCount() - 1;
    EXPECT_EQ(r.sheet.CurrentRow(), last);
    EXPECT_TRUE(r.grid.IsRowFullyVisible(last));
    EXPECT_GT(r.grid.TopRow(), 0);
    // The last row sits at the bottom edge, not somewhere in the middle.
    EXPECT_GT(r.grid.RowRect(last).bottom(), r.grid.viewport()->height() - 16);
}

TEST(SheetView, UserScrollingAwayIsRespectedUntilTheCurrentRowChanges)
{
    ViewRig r;
    r.Receive(200);
    QApplication::processEvents(); // the scroll bar catches up with the view
    EXPECT_EQ(r.grid.verticalScrollBar()->value(), r.grid.TopRow());
    r.grid.verticalScrollBar()->setValue(0);
    r.sheet.ShowLastRow(); // already the current row: no scrolling
    EXPECT_EQ(r.grid.TopRow(), 0);

    r.sheet.SelectRow(3);
    EXPECT_TRUE(r.grid.IsRowFullyVisible(3));
    r.sheet.ShowLastRow();
    EXPECT_TRUE(r.grid.IsRowFullyVisible(r.sheet.RowCount() - 1));
}

TEST(SheetView, ResetScrollsBackToTheTop)
{
    ViewRig r;
    r.Receive(300);
    r.sheet.ResetSheet();
    EXPECT_EQ(r.grid.TopRow(), 0);
    EXPECT_EQ(r.grid.verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(r.sheet.CurrentRow(), 0);
}

TEST(SheetView, RowsAreDrawnAtTheirHeights)
{
    ViewRig r;
    r.Receive(3);             // rows: "@", 1, 2, 3
    r.sheet.SelectRow(2);
    const QRect row2 = r.grid.RowRect(2);
    EXPECT_EQ(row2, QRect(0, 16, 690, 15)); // below a 1-px marker and one 15-px line

    QImage image = r.grid.viewport()->grab().toImage();
    const QColor highlight = r.grid.palette().color(QPalette::Highlight);
    EXPECT_EQ(image.pixelColor(600, row2.top() + 1), highlight);
    EXPECT_EQ(image.pixelColor(600, row2.bottom() - 1), highlight);
    EXPECT_NE(image.pixelColor(600, row2.top() - 1), highlight);
    EXPECT_NE(image.pixelColor(600, row2.bottom() + 1), highlight);
    // Nothing is drawn right of the single 690-pixel column.
    EXPECT_NE(image.pixelColor(700, row2.top() + 1), highlight);
}

TEST(SheetView, ClicksAndKeysMoveTheCurrentRow)
{
    ViewRig r;
    r.Receive(10);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(50, r.grid.RowRect(4).center().y()),
                      r.grid.viewport()->mapToGlobal(QPointF(50, 50)), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(r.grid.viewport(), &press);
    EXPECT_EQ(r.sheet.CurrentRow(), 4);
    QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
    QApplication::sendEvent(&r.grid, &up);
    EXPECT_EQ(r.sheet.CurrentRow(), 3);
    QKeyEvent end(QEvent::KeyPress, Qt::Key_End, Qt::NoModifier);
    QApplication::sendEvent(&r.grid, &end);
    EXPECT_EQ(r.sheet.CurrentRow(), 10);
    // Read-only: typing changes nothing.
    QKeyEvent typed(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QApplication::sendEvent(&r.grid, &typed);
    EXPECT_EQ(r.sheet.RowText(10), "line 10");
}

TEST(SheetView, AssistiveTechnologyReadsTheRowsAsATable)
{
    ViewRig r;
    r.sheet.AppendLine("M\xFCller 1:02:03");
    r.sheet.AppendPageMarker();
    r.sheet.AppendLine("second page");
    r.sheet.ShowLastRow();

    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&r.grid);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->role(), QAccessible::Table);
    QAccessibleTableInterface* table = iface->tableInterface();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rowCount(), 4);
    EXPECT_EQ(table->columnCount(), 1);
    EXPECT_EQ(iface->childCount(), 4);
    EXPECT_EQ(table->cellAt(1, 0)->text(QAccessible::Name), QString::fromUtf8("Müller 1:02:03"));
    EXPECT_EQ(table->cellAt(2, 0)->text(QAccessible::Name), QStringLiteral("Page break"));
    EXPECT_EQ(iface->indexOfChild(table->cellAt(3, 0)), 3);
    EXPECT_EQ(table->selectedRows(), QList<int>{3});
    EXPECT_EQ(table->cellAt(4, 0), nullptr);

    // After a reset the table shrinks; old cells are not read beyond the end.
    QAccessibleInterface* oldCell = table->cellAt(3, 0);
    r.sheet.ResetSheet();
    EXPECT_EQ(table->rowCount(), 1);
    EXPECT_FALSE(oldCell->isValid());
}

TEST(SheetView, WhatIsOnScreenMatchesAFreshDrawingAfterScrolling)
{
    // Rows arriving scroll the pixels already drawn and repaint a strip; the
    // screen must still show exactly what a full repaint would.
    testing_support::TestApp();
    PrintoutSheet sheet;
    QWidget window;
    window.resize(714, 434);
    SheetGrid grid(sheet, &window);
    grid.setFrameShape(QFrame::NoFrame);
    grid.resize(714, 434);
    window.show();
    sheet.ResetSheet();
    QScreen* screen = window.screen();
    auto onScreen = [&] {
        QApplication::processEvents();
        return screen->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    };
    for (int i = 1; i <= 120; ++i) {
        sheet.AppendLine("row " + std::to_string(i) + " \xE4\xF6\xFC");
        if (i % 7 == 0)
            sheet.AppendPageMarker();
        sheet.ShowLastRow();
        if (i % 5 == 0)
            onScreen(); // paint now and then, as events come in
    }
    sheet.SelectRow(sheet.RowCount() - 20);
    onScreen();
    sheet.ShowLastRow();
    const QImage shown = onScreen();
    const QImage fresh = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(shown.size(), fresh.size());
    EXPECT_TRUE(shown == fresh);
}

TEST(SheetView, PageEndsAreDottedLinesAcrossTheSheet)
{
    ViewRig r;
    r.sheet.AppendLine("one");
    r.sheet.AppendPageMarker();
    r.sheet.AppendLine("two");
    r.sheet.ShowLastRow();
    const QImage shown = r.grid.viewport()->grab().toImage();
    for (int row : {0, 2}) {
        SCOPED_TRACE(row);
        const int y = r.grid.RowRect(row).top();
        int dark = 0, flips = 0;
        for (int x = 0; x < r.grid.ColumnWidth(); ++x) {
            const bool isDark = shown.pixelColor(x, y).lightness() < 128;
            dark += isDark;
            flips += x > 0 && isDark != (shown.pixelColor(x - 1, y).lightness() < 128);
        }
        // Every other pixel, from one side of the column to the other.
        EXPECT_NEAR(dark, r.grid.ColumnWidth() / 2, 2);
        EXPECT_GT(flips, r.grid.ColumnWidth() - 4);
    }
    // A line row's first pixel line stays blank.
    const int lineTop = r.grid.RowRect(1).top();
    for (int x = 0; x < r.grid.ColumnWidth(); ++x)
        ASSERT_GE(shown.pixelColor(x, lineTop).lightness(), 128) << x;
}

namespace {

// What the context menu shows when it opens: its entries, each with its
// shortcut. It is closed right away.
std::vector<std::string> MenuWhenOpened(const std::function<void()>& open)
{
    std::vector<std::string> entries;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || !entries.empty())
            return;
        for (QAction* a : menu->actions())
            entries.push_back(a->isSeparator() ? "|"
                                               : (a->text() + " " + a->shortcut().toString()).trimmed().toStdString() +
                                                     (a->isEnabled() ? "" : " (off)"));
        menu->close();
    });
    watch.start(5);
    open();
    // The platform may deliver the menu's event later.
    QElapsedTimer clock;
    clock.start();
    while (entries.empty() && clock.elapsed() < 2000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    return entries;
}

// Key presses as the platform delivers them, shortcuts included.
void Press(ViewRig& r, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(r.grid.windowHandle(), key, modifiers);
}

void Activate(ViewRig& r)
{
    ASSERT_TRUE(testing_support::ActivateWindow(r.grid));
    r.grid.setFocus();
}

} // namespace

TEST(SheetView, RowsAreSelectedWithShiftAndCopiedAsUtf8WithMarkersAsFormFeeds)
{
    ViewRig r;
    r.sheet.AppendLine("M\xFC" "ller \x80 5");
    r.sheet.AppendPageMarker();
    r.sheet.AppendLine("two");
    r.sheet.AppendLine("three");
    Activate(r);
    r.sheet.SelectRow(1);
    Press(r, Qt::Key_Down, Qt::ShiftModifier);
    Press(r, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(r.grid.SelectedRows(), std::make_pair(1, 3));
    // Every selected row is drawn highlighted.
    const QImage image = r.grid.viewport()->grab().toImage();
    const QColor highlight = r.grid.palette().color(QPalette::Highlight);
    for (int row : {1, 3})
        EXPECT_EQ(image.pixelColor(600, r.grid.RowRect(row).center().y()), highlight) << row;
    EXPECT_NE(image.pixelColor(600, r.grid.RowRect(4).center().y()), highlight);

    QApplication::clipboard()->clear();
    Press(r, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "Müller € 5\n\ftwo\n");

    // A move without Shift leaves one row selected; Ctrl+A takes them all.
    Press(r, Qt::Key_Up);
    EXPECT_EQ(r.grid.SelectedRows(), std::make_pair(2, 2));
    Press(r, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(r.grid.SelectedRows(), std::make_pair(0, 4));
    // The whole sheet does not start with a page end.
    EXPECT_EQ(r.grid.SelectedText(), "Müller € 5\n\ftwo\nthree\n");
    // A received line makes the last row the current and only selected one.
    r.sheet.AppendLine("four");
    r.sheet.ShowLastRow();
    EXPECT_EQ(r.grid.SelectedRows(), std::make_pair(5, 5));
}

TEST(SheetView, TheContextMenuOpensFromThePointerAndTheKeyboard)
{
    ViewRig r;
    r.Receive(5);
    Activate(r);
    std::vector<std::string> expected = {"Copy Ctrl+C",  "|", "Save as PDF... Ctrl+S",
                                         "Print on...", "|", "Open Printout... Ctrl+O"};

    // A right click outside the selection selects the row under the pointer.
    const QPoint onRow2 = r.grid.RowRect(2).center();
    EXPECT_EQ(MenuWhenOpened([&] {
                  QContextMenuEvent click(QContextMenuEvent::Mouse, onRow2, r.grid.viewport()->mapToGlobal(onRow2));
                  QApplication::sendEvent(r.grid.viewport(), &click);
              }),
              expected);
    EXPECT_EQ(r.grid.SelectedRows(), std::make_pair(2, 2));

    EXPECT_EQ(MenuWhenOpened([&] { Press(r, Qt::Key_F10, Qt::ShiftModifier); }), expected);
    // The Menu key, as the X11 platform reports it; with a clock busy,
    // no printout can be opened.
    r.grid.SetOpenAllowed([] { return false; });
    expected.back() += " (off)";
    EXPECT_EQ(MenuWhenOpened([&] {
                  QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(), QPoint());
                  QApplication::sendEvent(&r.grid, &key);
              }),
              expected);

    // Saving and printing are asked of the window.
    int saves = 0, prints = 0;
    QObject::connect(&r.grid, &SheetGrid::SaveAsPdfRequested, [&] { ++saves; });
    QObject::connect(&r.grid, &SheetGrid::PrintOnRequested, [&] { ++prints; });
    // Once the last menu is gone, and the platform has given the window its
    // focus back.
    ASSERT_TRUE(QTest::qWaitFor([] { return !QApplication::activePopupWidget(); }));
    r.grid.windowHandle()->requestActivate();
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.grid.windowHandle()->isActive(); }));
    Press(r, Qt::Key_S, Qt::ControlModifier);
    r.grid.PrintOnAction()->trigger();
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(prints, 1);
}
