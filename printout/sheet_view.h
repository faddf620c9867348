#pragma once
// The sheet's grid on the window (StringGrid1): one 690-pixel column, line
// rows 15 px and marker rows 1 px high, no grid lines, read-only. It paints
// only the rows in view straight from the sheet, so a sheet of any length
// costs the view nothing per row.
//
// Rows are selected from the current row to an anchor (Shift with a click or
// the movement keys; Ctrl+A takes every row). The context menu (also the Menu
// key and Shift+F10) offers Copy (Ctrl+C), "Save as PDF..." (Ctrl+S),
// "Print on..." and "Open Printout..." (Ctrl+O); the last three are the
// window's to carry out.

#include <QAbstractScrollArea>
#include <functional>
#include <string>
#include <utility>

#include "printout/sheet.h"

class QAction;

namespace printout {

class SheetGrid : public QAbstractScrollArea, private PrintoutSheet::Observer {
    Q_OBJECT
public:
    explicit SheetGrid(PrintoutSheet& sheet, QWidget* parent = nullptr);
    ~SheetGrid() override;

    PrintoutSheet& Sheet() const { return sheet_; }
    int ColumnWidth() const { return PrintoutSheet::kColumnWidth; }

    // Index of the first row shown (the grid scrolls by whole rows).
    int TopRow() const;
    // Rows that are at least partly inside the viewport.
    int LastVisibleRow() const;
    bool IsRowFullyVisible(int row) const;
    // Viewport rectangle of a row (may lie outside the viewport).
    QRect RowRect(int row) const;

    // First and last selected row.
    std::pair<int, int> SelectedRows() const;
    // The selected rows as UTF-8 text: each line row ends with a line feed,
    // a marker row is a form feed, except the sheet's first one.
    std::string SelectedText() const;
    void CopySelection() const;

    QAction* CopyAction() const { return copyAction_; }
    QAction* SaveAsPdfAction() const { return saveAsPdfAction_; }
    QAction* PrintOnAction() const { return printOnAction_; }
    QAction* OpenPrintoutAction() const { return openAction_; }
    // Whether "Open Printout..." may be used now; always, when not set.
    void SetOpenAllowed(std::function<bool()> allowed) { openAllowed_ = std::move(allowed); }

signals:
    void SaveAsPdfRequested();
    void PrintOnRequested();
    void OpenPrintoutRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void SheetReset() override;
    void RowsChanged(int firstChangedRow) override;
    void CurrentRowChanged(int row, bool scrollTo) override;

    void SetTopRow(int row);
    void MoveViewTo(int row);
    void UpdateRow(int row);
    void ScheduleScrollBarSync();
    void SyncScrollBars();
    int MaxTopRow() const;
    void ScrollToRow(int row);
    void MoveCurrent(int row, bool extend = false);
    void ShowMenu(const QPoint& globalPos);
    int RowsPerPage() const;

    PrintoutSheet& sheet_;
    // The first row shown. The scroll bar follows it lazily: setting a
    // scroll bar's range posts an event, too dear to do for every row.
    int top_ = 0;
    int shownCurrent_ = 0; // the row drawn highlighted
    bool paintedSinceScroll_ = false;
    bool syncPending_ = false;
    bool syncing_ = false;
    int anchor_ = 0;          // the selection's other end
    bool extending_ = false;  // the current row moves with the anchor kept
    QAction* copyAction_ = nullptr;
    QAction* saveAsPdfAction_ = nullptr;
    QAction* printOnAction_ = nullptr;
    QAction* openAction_ = nullptr;
    std::function<bool()> openAllowed_;
};

// Makes the grid's rows readable by assistive technology, as a table of one
// column. Installed once per process; safe to call more than once.
void InstallSheetGridAccessibility();

} // namespace printout
