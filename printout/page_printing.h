#pragma once
// Printing the sheet: each page of the sheet (the rows between two page
// marker rows) becomes one job on the system's default printer (or the one
// the user picked), in "Courier New" 12 pt; or, saved as PDF, one PDF page
// (and more where the rows do not fit) per page of the sheet, laid out as
// printed.
//
// Failures are thrown (printer::EPrinter, printer::EOSError); the caller's
// error box shows them. Main thread only: while the printer waits, its wait
// callback lets the window's handlers run, so rows may arrive, the sheet may
// be cleared and (where the callback lets input through) Print may be pressed
// again while a job is under way.

#include "printout/sheet.h"

#include <cstdint>
#include <functional>
#include <string>

namespace printer {
class TPrinter;
}

namespace printout {

// Where a walk prints.
struct PrintTarget {
    printer::TPrinter* printer = nullptr;  // null: the process's printer
    std::string device;                    // empty: the default printer
    int copies = 1;                        // of each job
    std::string media;                     // the paper, by name; empty: the printer's own
    // Which pages of the printout (1 = the first job of the walk) print;
    // empty: all.
    std::function<bool(int page)> pages;
};

// The Print button: walks the sheet and prints each page with PrintRows.
// RowCount is read afresh at every step.
void PrintSheet(const PrintoutSheet& sheet, const PrintTarget& target = {});

// How many jobs the walk would print now.
int PageCount(const PrintoutSheet& sheet);

// Prints rows first to last (inclusive) as one job; none when last < first.
// The rows are taken as they stand when the call begins, so a sheet cleared
// during the job does not change what the job prints.
void PrintRows(const PrintoutSheet& sheet, std::uint32_t first, std::uint32_t last,
               const PrintTarget& target = {});

// The same walk into one PDF file at path, on the default printer's paper and
// printable area (the locale's paper with 10 mm margins when there is no
// default printer or it cannot be asked).
void SaveSheetAsPdf(const PrintoutSheet& sheet, const std::string& path);

} // namespace printout
