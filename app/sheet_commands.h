#pragma once
// The sheet's context menu commands that leave the window: the printout
// saved as a PDF file, and printed on a printer the user picks.

#include <QDateTime>
#include <QString>

class QWidget;

namespace printout {
class PrintoutSheet;
}

namespace app {

// printout-YYYY-MM-DD-HHMM.pdf in the user's documents folder.
QString ProposedPdfPath(const QDateTime& when);

// Qt's file dialog, then the Print walk into the chosen file. Failures are
// thrown for the error box.
void SaveSheetAsPdf(QWidget* parent, const printout::PrintoutSheet& sheet);

// Qt's print dialog picks the printer, the copies and the pages of the
// printout for this one walk; Print itself keeps to the default printer.
void PrintSheetOn(QWidget* parent, const printout::PrintoutSheet& sheet);

// How printing waits for the print server (the pause's rule: the window
// paints, timers and the port's calls run, the user's input waits) and how
// it asks for the server's password. Start-up calls it once.
void InstallPrinterHooks();

} // namespace app
