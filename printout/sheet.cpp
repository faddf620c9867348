#include "sheet.h"

#include <algorithm>
#include <stdexcept>

namespace printout {

PrintoutSheet::PrintoutSheet()
{
    SetUp();
}

template <class Fn>
void PrintoutSheet::Notify(Fn fn)
{
    if (observer_)
        fn(*observer_);
    for (Observer* o : extra_)
        fn(*o);
}

void PrintoutSheet::RemoveObserver(Observer* observer)
{
    extra_.erase(std::remove(extra_.begin(), extra_.end(), observer), extra_.end());
}

void PrintoutSheet::SetUp()
{
    TruncateTo(0);
    WriteRow(kPageMarker);
    current_ = 0;
    Notify([&](Observer& o) {
        o.SheetReset();
        o.CurrentRowChanged(current_, false);
        o.SheetBegun();
    });
}

void PrintoutSheet::LoadRows(const std::vector<std::string>& rows)
{
    TruncateTo(0);
    WriteRow(kPageMarker);
    std::size_t bytes = 0;
    for (const std::string& row : rows)
        bytes += row.size();
    arena_.reserve(arena_.size() + bytes);
    ends_.reserve(rows.size() + 1);
    for (const std::string& row : rows)
        WriteRow(row);
    nextRow_ = RowCount();
    current_ = RowCount() - 1;
    Notify([&](Observer& o) {
        o.SheetReset();
        o.CurrentRowChanged(current_, true);
    });
}

void PrintoutSheet::ResetSheet()
{
    nextRow_ = 1;
    SetUp();
}

void PrintoutSheet::TruncateTo(int rows)
{
    if (rows >= RowCount())
        return;
    ends_.resize(static_cast<std::size_t>(rows));
    arena_.resize(ends_.empty() ? 0 : static_cast<std::size_t>(ends_.back()));
    markers_.erase(std::lower_bound(markers_.begin(), markers_.end(), rows), markers_.end());
    if (rows == 0) {
        // Give a big sheet's memory back once it is cleared.
        std::string().swap(arena_);
        std::vector<std::uint64_t>().swap(ends_);
        std::vector<int>().swap(markers_);
    }
    if (current_ >= rows)
        current_ = std::max(0, rows - 1);
}

void PrintoutSheet::WriteRow(std::string_view text)
{
    if (text == kPageMarker)
        markers_.push_back(RowCount());
    arena_.append(text);
    ends_.push_back(arena_.size());
}

void PrintoutSheet::AppendLine(std::string_view text)
{
    // The row is written at the next-row counter, which equals RowCount
    // whenever the receiver runs; anything at or after it is replaced.
    const int row = nextRow_;
    const bool replaced = row < RowCount();
    TruncateTo(row);
    WriteRow(text);
    nextRow_ = row + 1;
    Notify([&](Observer& o) {
        if (replaced && row == 0)
            o.SheetReset();
        else
            o.RowsChanged(row);
    });
}

void PrintoutSheet::AppendPageMarker()
{
    AppendLine(kPageMarker);
}

void PrintoutSheet::ShowLastRow()
{
    const int last = RowCount() - 1;
    if (current_ == last)
        return;
    current_ = last;
    Notify([&](Observer& o) { o.CurrentRowChanged(current_, true); });
}

void PrintoutSheet::SelectRow(int row)
{
    if (row < 0 || row >= RowCount() || row == current_)
        return;
    current_ = row;
    Notify([&](Observer& o) { o.CurrentRowChanged(current_, true); });
}

std::string_view PrintoutSheet::RowText(int row) const
{
    if (row < 0 || row >= RowCount())
        throw std::out_of_range("sheet row " + std::to_string(row) + " out of range");
    const std::size_t i = static_cast<std::size_t>(row);
    const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(arena_).substr(begin, ends_[i] - begin);
}

std::int64_t PrintoutSheet::RowTop(int row) const
{
    // Rows near the end are asked for most; they need no search.
    const auto markersBefore = markers_.empty() || markers_.back() < row
                                   ? static_cast<std::ptrdiff_t>(markers_.size())
                                   : std::lower_bound(markers_.begin(), markers_.end(), row) - markers_.begin();
    return std::int64_t{kLineRowHeight} * row -
           std::int64_t{kLineRowHeight - kMarkerRowHeight} * markersBefore;
}

int PrintoutSheet::RowAt(std::int64_t y) const
{
    if (y <= 0)
        return 0;
    // Last row whose top is at or above y.
    int lo = 0, hi = RowCount() - 1;
    while (lo < hi) {
        const int mid = lo + (hi - lo + 1) / 2;
        if (RowTop(mid) <= y)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

} // namespace printout
