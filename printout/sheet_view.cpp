#include "sheet_view.h"

#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QAccessibleWidget>
#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <algorithm>
#include <map>

#include "printout/clock_text.h"
#include "printout/row_text.h"

namespace printout {

SheetGrid::SheetGrid(PrintoutSheet& sheet, QWidget* parent)
    : QAbstractScrollArea(parent), sheet_(sheet)
{
    InstallSheetGridAccessibility();
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(8);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    sheet_.SetObserver(this);
    SyncScrollBars();

    copyAction_ = new QAction(tr("Copy"), this);
    copyAction_->setObjectName(QStringLiteral("actionCopy"));
    copyAction_->setShortcut(QKeySequence::Copy);
    copyAction_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copyAction_, &QAction::triggered, this, [this] { CopySelection(); });
    // Saving and printing are the window's, wherever its focus is.
    saveAsPdfAction_ = new QAction(tr("Save as PDF..."), this);
    saveAsPdfAction_->setObjectName(QStringLiteral("actionSaveAsPdf"));
    saveAsPdfAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    saveAsPdfAction_->setShortcutContext(Qt::WindowShortcut);
    connect(saveAsPdfAction_, &QAction::triggered, this, &SheetGrid::SaveAsPdfRequested);
    printOnAction_ = new QAction(tr("Print on..."), this);
    printOnAction_->setObjectName(QStringLiteral("actionPrintOn"));
    connect(printOnAction_, &QAction::triggered, this, &SheetGrid::PrintOnRequested);
    openAction_ = new QAction(tr("Open Printout..."), this);
    openAction_->setObjectName(QStringLiteral("actionOpenPrintout"));
    openAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    openAction_->setShortcutContext(Qt::WindowShortcut);
    connect(openAction_, &QAction::triggered, this, [this] {
        if (!openAllowed_ || openAllowed_())
            emit OpenPrintoutRequested();
    });
    addAction(copyAction_);
    addAction(saveAsPdfAction_);
    addAction(printOnAction_);
    addAction(openAction_);
}

SheetGrid::~SheetGrid()
{
    sheet_.SetObserver(nullptr);
}

int SheetGrid::TopRow() const
{
    return top_;
}

void SheetGrid::SetTopRow(int row)
{
    row = std::clamp(row, 0, MaxTopRow());
    if (row == top_)
        return;
    MoveViewTo(row);
    ScheduleScrollBarSync();
}

// Shifts the pixels already drawn and repaints only the rows that come into
// view: receiving a line then costs a strip, not the whole sheet.
void SheetGrid::MoveViewTo(int row)
{
    if (row == top_)
        return;
    const std::int64_t dy = sheet_.RowTop(top_) - sheet_.RowTop(row);
    top_ = row;
    // Shifting pixels is worth it once per paint; rows that come faster than
    // the screen is painted are drawn in one go instead.
    if (paintedSinceScroll_ && dy > -viewport()->height() && dy < viewport()->height()) {
        viewport()->scroll(0, static_cast<int>(dy));
        paintedSinceScroll_ = false;
    } else {
        viewport()->update();
    }
}

void SheetGrid::UpdateRow(int row)
{
    if (row >= 0 && row < sheet_.RowCount())
        viewport()->update(RowRect(row).intersected(viewport()->rect()));
}

int SheetGrid::RowsPerPage() const
{
    return std::max(1, viewport()->height() / PrintoutSheet::kLineRowHeight);
}

// The smallest top row that still shows the last row completely.
int SheetGrid::MaxTopRow() const
{
    const std::int64_t limit = sheet_.TotalHeight() - viewport()->height();
    if (limit <= 0)
        return 0;
    int top = sheet_.RowAt(limit);
    if (sheet_.RowTop(top) < limit)
        ++top;
    return std::min(top, sheet_.RowCount() - 1);
}

void SheetGrid::ScheduleScrollBarSync()
{
    if (syncPending_)
        return;
    syncPending_ = true;
    QMetaObject::invokeMethod(this, [this] { SyncScrollBars(); }, Qt::QueuedConnection);
}

void SheetGrid::SyncScrollBars()
{
    syncPending_ = false;
    syncing_ = true;
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, MaxTopRow());
    v->setPageStep(RowsPerPage());
    if (top_ > v->maximum()) {
        top_ = v->maximum();
        viewport()->update();
    }
    v->setValue(top_);
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, std::max(0, ColumnWidth() - viewport()->width()));
    h->setPageStep(viewport()->width());
    syncing_ = false;
}

QRect SheetGrid::RowRect(int row) const
{
    const std::int64_t y = sheet_.RowTop(row) - sheet_.RowTop(TopRow());
    const int clamped = static_cast<int>(std::clamp<std::int64_t>(y, -(1 << 30), 1 << 30));
    return QRect(-horizontalScrollBar()->value(), clamped, ColumnWidth(), sheet_.RowHeight(row));
}

int SheetGrid::LastVisibleRow() const
{
    const std::int64_t bottom = sheet_.RowTop(TopRow()) + viewport()->height() - 1;
    return std::min(sheet_.RowAt(bottom), sheet_.RowCount() - 1);
}

bool SheetGrid::IsRowFullyVisible(int row) const
{
    const QRect r = RowRect(row);
    return r.top() >= 0 && r.bottom() < viewport()->height();
}

void SheetGrid::ScrollToRow(int row)
{
    if (row < TopRow()) {
        SetTopRow(row);
    } else if (!IsRowFullyVisible(row)) {
        // Bring the row to the bottom edge.
        const std::int64_t limit = sheet_.RowTop(row + 1) - viewport()->height();
        int top = sheet_.RowAt(std::max<std::int64_t>(0, limit));
        if (sheet_.RowTop(top) < limit)
            ++top;
        SetTopRow(std::min(top, row));
    }
}

void SheetGrid::SheetReset()
{
    top_ = 0;
    shownCurrent_ = sheet_.CurrentRow();
    anchor_ = sheet_.CurrentRow();
    SyncScrollBars();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTableModelChangeEvent event(this, QAccessibleTableModelChangeEvent::ModelReset);
        QAccessible::updateAccessibility(&event);
    }
}

void SheetGrid::RowsChanged(int firstChangedRow)
{
    ScheduleScrollBarSync();
    if (firstChangedRow <= LastVisibleRow()) {
        const QRect first = RowRect(firstChangedRow);
        viewport()->update(QRect(0, std::max(0, first.top()), viewport()->width(), viewport()->height()));
    }
    if (QAccessible::isActive()) {
        QAccessibleTableModelChangeEvent event(this, QAccessibleTableModelChangeEvent::RowsInserted);
        event.setFirstRow(firstChangedRow);
        event.setLastRow(sheet_.RowCount() - 1);
        QAccessible::updateAccessibility(&event);
    }
}

void SheetGrid::CurrentRowChanged(int row, bool scrollTo)
{
    if (scrollTo)
        ScrollToRow(row);
    // A selection of more than one row, before or after, is drawn anew.
    const bool wide = anchor_ != shownCurrent_ || (extending_ && anchor_ != row);
    if (!extending_)
        anchor_ = row;
    if (wide) {
        viewport()->update();
    } else {
        UpdateRow(shownCurrent_);
        UpdateRow(row);
    }
    shownCurrent_ = row;
    if (QAccessible::isActive() && hasFocus()) {
        if (QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(this)) {
            if (QAccessibleInterface* cell = grid->tableInterface()->cellAt(row, 0)) {
                QAccessibleEvent focus(cell, QAccessible::Focus);
                QAccessible::updateAccessibility(&focus);
            }
        }
    }
}

void SheetGrid::MoveCurrent(int row, bool extend)
{
    row = std::clamp(row, 0, sheet_.RowCount() - 1);
    extending_ = extend;
    sheet_.SelectRow(row);
    extending_ = false;
    if (!extend && anchor_ != row) {  // the current row was already this one
        anchor_ = row;
        viewport()->update();
    }
}

std::pair<int, int> SheetGrid::SelectedRows() const
{
    const int last = sheet_.RowCount() - 1;
    const int a = std::min(anchor_, last), b = std::min(sheet_.CurrentRow(), last);
    return {std::min(a, b), std::max(a, b)};
}

std::string SheetGrid::SelectedText() const
{
    const auto [first, last] = SelectedRows();
    std::string text;
    for (int row = first; row <= last; ++row) {
        // The sheet's first marker row starts it; it ends no page.
        if (row == 0 && sheet_.IsPageMarker(row))
            continue;
        AppendRowText(text, sheet_, row, PageEnd::FormFeed);
    }
    return text;
}

void SheetGrid::CopySelection() const
{
    const std::string text = SelectedText();
    QGuiApplication::clipboard()->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void SheetGrid::ShowMenu(const QPoint& globalPos)
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("SheetMenu"));
    menu.addAction(copyAction_);
    menu.addSeparator();
    menu.addAction(saveAsPdfAction_);
    menu.addAction(printOnAction_);
    menu.addSeparator();
    menu.addAction(openAction_);
    openAction_->setEnabled(!openAllowed_ || openAllowed_());
    menu.exec(globalPos);
    openAction_->setEnabled(true); // the shortcut asks again when used
}

void SheetGrid::contextMenuEvent(QContextMenuEvent* event)
{
    if (event->reason() == QContextMenuEvent::Mouse) {
        // A click outside the selection selects the row under the pointer
        // (the viewport's event, in its coordinates).
        const QPoint p = event->pos();
        const std::int64_t y = sheet_.RowTop(TopRow()) + p.y();
        const auto [first, last] = SelectedRows();
        if (p.y() >= 0 && y < sheet_.TotalHeight()) {
            const int row = sheet_.RowAt(y);
            if (row < first || row > last)
                MoveCurrent(row);
        }
        ShowMenu(event->globalPos());
    } else {
        const QRect r = RowRect(sheet_.CurrentRow()).intersected(viewport()->rect());
        ShowMenu(viewport()->mapToGlobal(r.isEmpty() ? QPoint(0, 0) : r.bottomLeft()));
    }
    event->accept();
}

void SheetGrid::paintEvent(QPaintEvent* event)
{
    paintedSinceScroll_ = true;
    QPainter painter(viewport());
    const QRect area = event->rect();
    const QFontMetrics fm(font());
    const int last = LastVisibleRow();
    for (int row = TopRow(); row <= last; ++row) {
        const QRect r = RowRect(row);
        if (!r.intersects(area))
            continue;
        const auto [first, last] = SelectedRows();
        const bool current = row >= first && row <= last;
        if (current)
            painter.fillRect(r, palette().brush(QPalette::Highlight));
        painter.setPen(palette().color(current ? QPalette::HighlightedText : QPalette::Text));
        painter.save();
        painter.setClipRect(r.intersected(area));
        if (sheet_.IsPageMarker(row)) {
            // Where a printed page will end: a dotted line across the sheet,
            // every other pixel, in the 1-pixel row.
            QPen dots(painter.pen().color(), 1, Qt::CustomDashLine);
            dots.setDashPattern({1, 1});
            dots.setCapStyle(Qt::FlatCap);
            painter.setPen(dots);
            painter.drawLine(QPointF(r.left(), r.top() + 0.5), QPointF(r.right() + 1, r.top() + 0.5));
        } else {
            // Text sits 2 px in from the cell's corner, as in the classic grid.
            painter.drawText(r.left() + 2, r.top() + 2 + fm.ascent(), DecodeClockText(sheet_.RowText(row)));
        }
        painter.restore();
        if (row == sheet_.CurrentRow() && hasFocus())
            painter.drawRect(r.adjusted(0, 0, -1, -1));
    }
}

void SheetGrid::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    SyncScrollBars();
}

void SheetGrid::scrollContentsBy(int dx, int)
{
    if (syncing_)
        return; // the scroll bar only caught up with the view
    if (dx != 0)
        viewport()->update(); // the column moved sideways
    MoveViewTo(verticalScrollBar()->value()); // the user moved the scroll bar
}

void SheetGrid::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    const QPoint p = event->position().toPoint();
    if (p.x() + horizontalScrollBar()->value() >= ColumnWidth())
        return;
    const std::int64_t y = sheet_.RowTop(TopRow()) + p.y();
    if (y >= sheet_.TotalHeight())
        return;
    MoveCurrent(sheet_.RowAt(y), event->modifiers() & Qt::ShiftModifier);
}

void SheetGrid::keyPressEvent(QKeyEvent* event)
{
    const int current = sheet_.CurrentRow();
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    if (event->matches(QKeySequence::SelectAll)) {
        anchor_ = 0;
        MoveCurrent(sheet_.RowCount() - 1, true);
        viewport()->update();
        event->accept();
        return;
    }
    switch (event->key()) {
    case Qt::Key_Up: MoveCurrent(current - 1, extend); break;
    case Qt::Key_Down: MoveCurrent(current + 1, extend); break;
    case Qt::Key_PageUp: MoveCurrent(current - RowsPerPage(), extend); break;
    case Qt::Key_PageDown: MoveCurrent(current + RowsPerPage(), extend); break;
    case Qt::Key_Home: MoveCurrent(0, extend); break;
    case Qt::Key_End: MoveCurrent(sheet_.RowCount() - 1, extend); break;
    case Qt::Key_F10:
        if (!extend)
            return QAbstractScrollArea::keyPressEvent(event);
        {
            QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(), QPoint());
            contextMenuEvent(&menu);
        }
        break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    event->accept();
}

// ---- accessibility -------------------------------------------------------

namespace {

class SheetGridAccessible;

class SheetCellAccessible final : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    SheetCellAccessible(SheetGrid* grid, int row) : grid_(grid), row_(row) {}

    bool isValid() const override { return grid_ && row_ < grid_->Sheet().RowCount(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return grid_ ? grid_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(grid_); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::Cell; }
    void setText(QAccessible::Text, const QString&) override {}

    QString text(QAccessible::Text t) const override
    {
        if (!isValid() || (t != QAccessible::Name && t != QAccessible::Value))
            return {};
        const PrintoutSheet& sheet = grid_->Sheet();
        // A marker row is a page break, not text the clock printed.
        return sheet.IsPageMarker(row_) ? SheetGrid::tr("Page break") : DecodeClockText(sheet.RowText(row_));
    }

    QRect rect() const override
    {
        if (!isValid())
            return {};
        const QRect r = grid_->RowRect(row_);
        return QRect(grid_->viewport()->mapToGlobal(r.topLeft()), r.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid())
            return s;
        s.selectable = true;
        s.focusable = true;
        s.readOnly = true;
        s.selected = grid_->Sheet().CurrentRow() == row_;
        s.focused = s.selected && grid_->hasFocus();
        s.invisible = !grid_->RowRect(row_).intersects(grid_->viewport()->rect());
        s.offscreen = s.invisible;
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::TableCellInterface ? static_cast<QAccessibleTableCellInterface*>(this) : nullptr;
    }

    // Table cell.
    bool isSelected() const override { return isValid() && grid_->Sheet().CurrentRow() == row_; }
    QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return 0; }
    int rowIndex() const override { return row_; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

private:
    QPointer<SheetGrid> grid_;
    int row_;
};

class SheetGridAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit SheetGridAccessible(SheetGrid* grid) : QAccessibleWidget(grid, QAccessible::Table) {}
    ~SheetGridAccessible() override { DropCells(0); }

    SheetGrid* grid() const { return static_cast<SheetGrid*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // The rows are the children; the scroll bars are left out on purpose.
    int childCount() const override { return grid()->Sheet().RowCount(); }
    QAccessibleInterface* child(int index) const override { return cellAt(index, 0); }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (child && child->role() == QAccessible::Cell && child->parent() == this)
            return static_cast<const SheetCellAccessible*>(child)->rowIndex();
        return -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        const QPoint p = grid()->viewport()->mapFromGlobal(QPoint(x, y));
        if (!grid()->viewport()->rect().contains(p))
            return nullptr;
        const PrintoutSheet& sheet = grid()->Sheet();
        const std::int64_t top = sheet.RowTop(grid()->TopRow()) + p.y();
        return top < sheet.TotalHeight() ? cellAt(sheet.RowAt(top), 0) : nullptr;
    }

    // Table.
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    int columnCount() const override { return 1; }
    int rowCount() const override { return grid()->Sheet().RowCount(); }
    int selectedCellCount() const override { return 1; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return 1; }
    QString columnDescription(int) const override { return {}; }
    QString rowDescription(int) const override { return {}; }
    QList<QAccessibleInterface*> selectedCells() const override { return {cellAt(grid()->Sheet().CurrentRow(), 0)}; }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override { return {grid()->Sheet().CurrentRow()}; }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override { return grid()->Sheet().CurrentRow() == row; }
    bool selectRow(int row) override
    {
        grid()->Sheet().SelectRow(row);
        return grid()->Sheet().CurrentRow() == row;
    }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }

    QAccessibleInterface* cellAt(int row, int column) const override
    {
        if (column != 0 || row < 0 || row >= rowCount())
            return nullptr;
        auto it = cells_.find(row);
        if (it != cells_.end())
            return QAccessible::accessibleInterface(it->second);
        auto* cell = new SheetCellAccessible(grid(), row);
        cells_[row] = QAccessible::registerAccessibleInterface(cell);
        return cell;
    }

    void modelChange(QAccessibleTableModelChangeEvent* event) override
    {
        // Cells of removed rows must not outlive them.
        if (event->modelChangeType() == QAccessibleTableModelChangeEvent::ModelReset)
            DropCells(0);
        else
            DropCells(grid()->Sheet().RowCount());
    }

private:
    void DropCells(int fromRow) const
    {
        for (auto it = cells_.lower_bound(fromRow); it != cells_.end();) {
            QAccessible::deleteAccessibleInterface(it->second);
            it = cells_.erase(it);
        }
    }

    mutable std::map<int, QAccessible::Id> cells_;
};

QAccessibleInterface* SheetGridFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("printout::SheetGrid") && object && object->isWidgetType())
        return new SheetGridAccessible(static_cast<SheetGrid*>(object));
    return nullptr;
}

} // namespace

void InstallSheetGridAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(SheetGridFactory);
        return true;
    }();
    (void)installed;
}

} // namespace printout
