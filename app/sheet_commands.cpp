#include "app/sheet_commands.h"

#include <QCoreApplication>
#include <QDir>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPageRanges>
#include <QPageSize>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QStandardPaths>

#include <stdexcept>
#include <string>

#include "app/pause.h"
#include "printer/printer.h"
#include "printout/page_printing.h"

namespace app {

QString ProposedPdfPath(const QDateTime& when)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QDir(folder).filePath(when.toString(QStringLiteral("'printout-'yyyy-MM-dd-HHmm'.pdf'")));
}

void SaveSheetAsPdf(QWidget* parent, const printout::PrintoutSheet& sheet)
{
    QFileDialog dialog(parent, QCoreApplication::translate("app", "Save as PDF"),
                       ProposedPdfPath(QDateTime::currentDateTime()),
                       QCoreApplication::translate("app", "PDF files (*.pdf)"));
    dialog.setObjectName(QStringLiteral("SavePdfDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("pdf"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    printout::SaveSheetAsPdf(sheet, dialog.selectedFiles().constFirst().toStdString());
}

namespace {

[[noreturn]] void NoPrinterToPrintOn()
{
    throw std::runtime_error(
        QCoreApplication::translate("app", "There is no printer to print on. Add one in the system's printer "
                                           "settings, or keep the printout as a PDF file with Save as PDF... "
                                           "in this menu.")
            .toStdString());
}

// The options tab that picks the paper: the chosen printer's own (the
// first entry), or one of the sizes it offers.
class PaperTab : public QWidget {
public:
    explicit PaperTab(QPrintDialog& dialog)
    {
        setObjectName(QStringLiteral("paperTab"));
        setWindowTitle(QCoreApplication::translate("app", "Paper"));
        auto* layout = new QFormLayout(this);
        choice_ = new QComboBox(this);
        choice_->setObjectName(QStringLiteral("paperChoice"));
        layout->addRow(QCoreApplication::translate("app", "Pap&er:"), choice_);
        printers_ = dialog.findChild<QComboBox*>(QStringLiteral("printers"));
        if (printers_)
            connect(printers_, &QComboBox::currentTextChanged, this, [this] { Fill(); });
        Fill();
    }

    // The paper picked, by its PPD name; empty: the printer's own.
    std::string Media() const { return choice_->currentData().toString().toStdString(); }

private:
    void Fill()
    {
        const QString printer = printers_ ? printers_->currentText() : QString();
        choice_->clear();
        choice_->addItem(QCoreApplication::translate("app", "The printer's own"), QString());
        for (const QPageSize& size : QPrinterInfo::printerInfo(printer).supportedPageSizes())
            if (size.isValid() && !size.key().isEmpty())
                choice_->addItem(size.name(), size.key());
    }

    QComboBox* printers_ = nullptr;
    QComboBox* choice_ = nullptr;
};

} // namespace

void PrintSheetOn(QWidget* parent, const printout::PrintoutSheet& sheet)
{
    // Else the dialog would offer an empty list, and its Print button would
    // do nothing.
    if (QPrinterInfo::availablePrinterNames().isEmpty())
        NoPrinterToPrintOn();
    QPrinter choice;
    QPrintDialog dialog(&choice, parent);
    dialog.setObjectName(QStringLiteral("PrintOnDialog"));
    dialog.setWindowTitle(QCoreApplication::translate("app", "Print on"));
    // The pages offered are the printout's, one job each; no file.
    dialog.setOptions(QAbstractPrintDialog::PrintPageRange | QAbstractPrintDialog::PrintCollateCopies);
    const int pages = std::max(1, printout::PageCount(sheet));
    dialog.setMinMax(1, pages);
    // Qt's printer options (order, odd/even pages, sides, colour, the
    // driver's properties) would not reach the jobs: not offered.
    for (const char* name : {"reverse", "pageSetCombo", "duplex", "colorMode", "properties"}) {
        if (auto* widget = dialog.findChild<QWidget*>(QString::fromLatin1(name))) {
            widget->hide();
            for (QLabel* label : dialog.findChildren<QLabel*>())
                if (label->buddy() == widget)
                    label->hide();
        }
    }
    auto* paper = new PaperTab(dialog);
    dialog.setOptionTabs({paper});
    if (dialog.exec() != QDialog::Accepted)
        return;
    if (choice.printerName().isEmpty())
        NoPrinterToPrintOn();
    printout::PrintTarget target;
    target.device = choice.printerName().toStdString();
    target.media = paper->Media();
    int wanted = pages;
    if (choice.printRange() == QPrinter::PageRange && !choice.pageRanges().isEmpty()) {
        const QPageRanges ranges = choice.pageRanges();
        target.pages = [ranges](int page) { return ranges.contains(page); };
        wanted = 0;
        for (const QPageRanges::Range& r : ranges.toRangeList())
            wanted += r.to - r.from + 1;
    }
    const int copies = std::max(1, choice.copyCount());
    // Collated copies of several pages are whole walks; else each job
    // carries its copies.
    const bool walks = choice.collateCopies() && wanted > 1;
    target.copies = walks ? 1 : copies;
    for (int walk = 0; walk < (walks ? copies : 1); ++walk)
        printout::PrintSheet(sheet, target);
}

void InstallPrinterHooks()
{
    printer::SetWaitCallback([] { DelayProcessingMessages(1); });
    printer::SetPasswordCallback([](const std::string& user, const std::string& server) -> std::optional<std::string> {
        bool ok = false;
        const QString password = QInputDialog::getText(
            QApplication::activeWindow(), QCoreApplication::translate("app", "Print server password"),
            QCoreApplication::translate("app", "Password for %1 on %2:")
                .arg(QString::fromStdString(user), QString::fromStdString(server)),
            QLineEdit::Password, QString(), &ok);
        if (!ok)
            return std::nullopt;
        return password.toStdString();
    });
}

} // namespace app
