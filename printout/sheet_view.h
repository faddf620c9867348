#pragma once
// The sheet's grid on the window (StringGrid1): one 690-pixel column, line
// rows 15 px and marker rows 1 px high, no grid lines, read-only. It paints
// only the rows in view straight from the sheet, so a sheet of any length
// costs the view nothing per row.

#include <QAbstractScrollArea>

#include "printout/sheet.h"

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

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
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
    void MoveCurrent(int row);
    int RowsPerPage() const;

    PrintoutSheet& sheet_;
    // The first row shown. The scroll bar follows it lazily: setting a
    // scroll bar's range posts an event, too dear to do for every row.
    int top_ = 0;
    int shownCurrent_ = 0; // the row drawn highlighted
    bool paintedSinceScroll_ = false;
    bool syncPending_ = false;
    bool syncing_ = false;
};

// Makes the grid's rows readable by assistive technology, as a table of one
// column. Installed once per process; safe to call more than once.
void InstallSheetGridAccessibility();

} // namespace printout
