#pragma once
// Keeps every sheet of the window on disk and gives it back: the printout
// file that follows the sheet, its flush before each acknowledgement, the
// run's mark and the restore after a crash, "Open Printout...", and the clean
// end on SIGTERM, SIGINT and SIGHUP. A file that cannot be written keeps
// its rows in memory until it can.

#include <QObject>
#include <QString>
#include <memory>
#include <string>

namespace printout {
class PrintoutFile;
struct PrintoutFileFailure;
}

namespace app {

class TForm1;
class TRunMark;

// $XDG_DATA_HOME/quillprint (default ~/.local/share/quillprint).
std::string DataFolder();
std::string PrintoutsFolder();

// The acknowledgement waits for the flush at most this long after its pause.
inline constexpr int kFlushWaitMs = 250;

class TPrintoutKeeper : public QObject {
    Q_OBJECT
public:
    explicit TPrintoutKeeper(TForm1& form, QObject* parent = nullptr);
    // The port is closed first, so what its last handlers add is kept too.
    ~TPrintoutKeeper() override;

    // Start-up: a run that did not end cleanly has its sheet shown again,
    // and a box (once the loop runs) names the file. False when there was
    // nothing to restore.
    bool RestoreAfterCrash();

    // The sheet's "Open Printout..." (its dialog), and what it does with the
    // chosen file. Failures are thrown for the error box.
    void OpenPrintout();
    void OpenPrintoutFile(const QString& path);

    // A clock is connected or waited for: no printout may be opened.
    bool ClockBusy() const;

    // SIGTERM, SIGINT and SIGHUP end the program as Exit does. Once per
    // process.
    static void EndCleanlyOnSignals();

    // A sheet with lines that could not be written may end once the user
    // has been told how many (one box); asked before each way it ends.
    bool SheetMayEnd();

private:
    void ReportFailure(const printout::PrintoutFileFailure& failure);

    TForm1& form_;
    std::unique_ptr<TRunMark> mark_;
    std::unique_ptr<printout::PrintoutFile> file_;
    bool toldNotOnDisk_ = false;
};

} // namespace app
