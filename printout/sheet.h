#pragma once
// The printout sheet: every received line in order, with page marker rows
// ("@", 1 px high) where the clock ended a page. Row 0 is always a marker.
//
// Rows live in one byte arena with an end offset per row, so a sheet of a
// million rows costs little more than its text; heights are not stored, they
// follow from the text (a marker row is the only row whose text is "@").

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace printout {

class PrintoutSheet {
public:
    static constexpr int kColumnWidth = 690;
    static constexpr int kLineRowHeight = 15;
    static constexpr int kMarkerRowHeight = 1;
    static constexpr std::string_view kPageMarker{"@"};

    // Told about every change, so a view can follow without polling.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void SheetReset() = 0;                           // rows replaced wholesale
        virtual void RowsChanged(int firstChangedRow) = 0;       // rows from here on are new
        virtual void CurrentRowChanged(int row, bool scrollTo) = 0;
        // The sheet begins afresh (window creation, ResetSheet); not told
        // when rows kept elsewhere are loaded.
        virtual void SheetBegun() {}
    };

    // The window-creation state: one marker row, next-row counter 0.
    PrintoutSheet();

    // Window creation: one row, "@"; the next-row counter is left alone.
    void SetUp();

    void ResetSheet();
    void AppendLine(std::string_view text);
    void AppendPageMarker();
    void ShowLastRow();
    // Shows rows kept elsewhere (a printout file): the marker row 0, then
    // these; the last row becomes the current row.
    void LoadRows(const std::vector<std::string>& rows);

    int RowCount() const { return static_cast<int>(ends_.size()); }
    std::string_view RowText(int row) const;
    bool IsPageMarker(int row) const { return RowText(row) == kPageMarker; }
    int RowHeight(int row) const { return IsPageMarker(row) ? kMarkerRowHeight : kLineRowHeight; }
    int NextRow() const { return nextRow_; }

    // The current (selected) row; the user may move it.
    int CurrentRow() const { return current_; }
    void SelectRow(int row);

    // Vertical layout in pixels: top of a row, the row at a y offset, and
    // the height of all rows together.
    std::int64_t RowTop(int row) const;
    int RowAt(std::int64_t y) const;
    std::int64_t TotalHeight() const { return RowTop(RowCount()); }

    void SetObserver(Observer* observer) { observer_ = observer; }
    // Further observers, told after the one above.
    void AddObserver(Observer* observer) { extra_.push_back(observer); }
    void RemoveObserver(Observer* observer);

private:
    void WriteRow(std::string_view text);
    void TruncateTo(int rows);
    template <class Fn> void Notify(Fn fn);

    std::string arena_;                // all row texts back to back
    std::vector<std::uint64_t> ends_;  // end offset of each row in the arena
    std::vector<int> markers_;         // indices of marker rows, ascending
    int nextRow_ = 0;
    int current_ = 0;
    Observer* observer_ = nullptr;
    std::vector<Observer*> extra_;
};

} // namespace printout
