#include "app/printout_keeper.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeView>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <pwd.h>
#include <limits>
#include <stdexcept>
#include <unistd.h>

#include "app/application.h"
#include "app/form1.h"
#include "app/pause.h"
#include "app/run_mark.h"
#include "printout/printout_file.h"
#include "printout/printout_reader.h"
#include "printout/sheet_view.h"

namespace app {
namespace {

QString SystemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int signalPipe[2] = {-1, -1};
// What an end signal does: Exit's check first, while a keeper lives.
std::function<void()> endRequest;

void OnEndSignal(int signal)
{
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

std::string DataFolder()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/quillprint";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* user = ::getpwuid(::getuid());
        home = user ? user->pw_dir : "";
    }
    return std::string(home) + "/.local/share/quillprint";
}

std::string PrintoutsFolder()
{
    return DataFolder() + "/printouts";
}

TPrintoutKeeper::TPrintoutKeeper(TForm1& form, QObject* parent) : QObject(parent), form_(form)
{
    mark_ = std::make_unique<TRunMark>(DataFolder() + "/runs");
    printout::PrintoutFile::Hooks hooks;
    hooks.portName = [this] { return form_.ComPort1.Port(); };
    hooks.fileShown = [this](const std::string& path) { mark_->Record(path); };
    hooks.failed = [this](const printout::PrintoutFileFailure& failure) {
        QMetaObject::invokeMethod(this, [this, failure] { ReportFailure(failure); }, Qt::QueuedConnection);
    };
    hooks.keptAgain = [this] {
        QMetaObject::invokeMethod(this, [this] {
            toldNotOnDisk_ = false;
            form_.ShowPrintoutKept();
        }, Qt::QueuedConnection);
    };
    // Wakes the flush wait below as soon as the rows are settled.
    hooks.settled = [this] { QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection); };
    file_ = std::make_unique<printout::PrintoutFile>(form_.Sheet(), PrintoutsFolder(), std::move(hooks));
    // A quick disk is done within the pause; a slow one holds the
    // acknowledgement a little, never long, and the window runs meanwhile.
    form_.Receiver().SetBeforeAck([this] {
        const std::uint64_t ticket = file_->Ticket();
        WaitUnderPolicy(kFlushWaitMs, [this, ticket] { return file_->Settled(ticket); });
    });
    form_.SetSheetEndCheck([this] { return SheetMayEnd(); });
    endRequest = [this] {
        if (SheetMayEnd())
            QCoreApplication::quit();
    };

    printout::SheetGrid* grid = form_.StringGrid1;
    grid->SetOpenAllowed([this] { return !ClockBusy(); });
    connect(grid, &printout::SheetGrid::OpenPrintoutRequested, this, [this] {
        try {
            OpenPrintout();
        } catch (...) {
            ShowCurrentException();
        }
    });
}

TPrintoutKeeper::~TPrintoutKeeper()
{
    try {
        form_.ComPort1.SetConnected(false);
    } catch (...) {
    }
    form_.Receiver().SetBeforeAck({});
    form_.SetSheetEndCheck({});
    endRequest = nullptr;
    if (form_.StringGrid1)
        form_.StringGrid1->SetOpenAllowed({});
    file_.reset(); // complete on disk before the mark says so
    mark_.reset();
}

bool TPrintoutKeeper::ClockBusy() const
{
    return form_.ComPort1.Connected() || form_.LineLost();
}

bool TPrintoutKeeper::RestoreAfterCrash()
{
    const std::string path = TRunMark::ClaimCrashed(DataFolder() + "/runs");
    if (path.empty())
        return false;
    // Its own file, however long the sheet grew.
    printout::PrintoutRead read = printout::ReadPrintoutFile(path, std::numeric_limits<std::size_t>::max());
    if (read.status != printout::PrintoutRead::Status::Ok)
        return false;
    form_.Sheet().LoadRows(read.rows);
    file_->Shown(path);
    const QString text =
        tr("Quillprint did not end properly last time. The printout it showed is shown again, "
           "as kept in %1.")
            .arg(QString::fromStdString(path));
    QTimer::singleShot(0, this, [text] {
        ShowOutsideWaits([text] {
            QMessageBox box(QMessageBox::Information, ApplicationTitle(), text, QMessageBox::Ok);
            box.setObjectName(QStringLiteral("RestoreBox"));
            box.exec();
        });
    });
    return true;
}

void TPrintoutKeeper::OpenPrintout()
{
    if (ClockBusy() || !SheetMayEnd())
        return;
    const std::string folder = PrintoutsFolder();
    printout::MakePrivateFolder(folder);
    QFileDialog dialog(&form_, tr("Open Printout"), QString::fromStdString(folder),
                       tr("Printouts (*.txt);;All files (*)"));
    dialog.setObjectName(QStringLiteral("OpenPrintoutDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setViewMode(QFileDialog::Detail);
    // Newest first: the column of the time last changed, descending.
    if (auto* view = dialog.findChild<QTreeView*>())
        view->sortByColumn(3, Qt::DescendingOrder);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    OpenPrintoutFile(dialog.selectedFiles().constFirst());
}

void TPrintoutKeeper::OpenPrintoutFile(const QString& path)
{
    // The dialog ran the loop: a clock may have been connected meanwhile.
    if (ClockBusy())
        return;
    printout::PrintoutRead read = printout::ReadPrintoutFile(path.toStdString());
    switch (read.status) {
    case printout::PrintoutRead::Status::Ok:
        break;
    case printout::PrintoutRead::Status::Unreadable:
        throw std::runtime_error(
            tr("The file %1 cannot be read: %2").arg(path, SystemReason(read.error)).toStdString());
    case printout::PrintoutRead::Status::TooLarge:
        throw std::runtime_error(tr("The file %1 is not a printout: it is larger than %2 MB")
                                     .arg(path)
                                     .arg(printout::kMaxPrintoutBytes >> 20)
                                     .toStdString());
    case printout::PrintoutRead::Status::NotText:
        throw std::runtime_error(tr("The file %1 is not a printout: it is not text").arg(path).toStdString());
    }
    form_.Sheet().LoadRows(read.rows);
    file_->Shown(path.toStdString());
}

void TPrintoutKeeper::ReportFailure(const printout::PrintoutFileFailure& failure)
{
    using Step = printout::PrintoutFileFailure::Step;
    const QString where = QString::fromStdString(failure.path);
    const QString reason = SystemReason(failure.error);
    QString text;
    switch (failure.step) {
    case Step::Folder: text = tr("The folder for printouts %1 cannot be made: %2").arg(where, reason); break;
    case Step::Create: text = tr("The printout file %1 cannot be made: %2").arg(where, reason); break;
    case Step::Write:
    case Step::Sync: text = tr("The printout file %1 cannot be written: %2").arg(where, reason); break;
    }
    toldNotOnDisk_ = false;
    ShowErrorBox(text, tr("Reception goes on. The lines are kept in memory and written as soon as the disk "
                          "takes them again."));
}

bool TPrintoutKeeper::SheetMayEnd()
{
    const std::size_t lines = file_->LinesNotOnDisk();
    if (lines == 0 || toldNotOnDisk_)
        return true;
    // Once: the same again ends the sheet without them.
    toldNotOnDisk_ = true;
    ShowErrorBox(tr("Lines of this printout that are not on disk: %1").arg(lines),
                 tr("They are still in the window: keep them with Save as PDF... or Copy. "
                    "Do the same again to go on without them."));
    return false;
}

void TPrintoutKeeper::EndCleanlyOnSignals()
{
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        // As Exit: a pause under way ends, its acknowledgement still goes
        // out, then the loop ends and the window closes the port.
        if (endRequest)
            endRequest();
        else
            QCoreApplication::quit();
    });
    struct sigaction action{};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace app
