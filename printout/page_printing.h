#pragma once
// Printing the sheet: each page of the sheet (the rows between two page
// marker rows) becomes one job on the system's default printer, in
// "Courier New" 12 pt.
//
// Failures are thrown (printer::EPrinter, printer::EOSError); the caller's
// error box shows them. Main thread only: the spooler's progress callback
// runs the main loop, so rows may arrive, the sheet may be cleared and Print
// may be pressed again while a job is under way.

#include "printout/sheet.h"

#include <cstdint>

namespace printout {

// The Print button: walks the sheet and prints each page with PrintRows.
// RowCount is read afresh at every step.
void PrintSheet(const PrintoutSheet& sheet);

// Prints rows first to last (inclusive) as one job; none when last < first.
// The rows are taken as they stand when the call begins, so a sheet cleared
// during the job does not change what the job prints.
void PrintRows(const PrintoutSheet& sheet, std::uint32_t first, std::uint32_t last);

} // namespace printout
