#include "app/sheet_commands.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QPrintDialog>
#include <QPrinter>
#include <QStandardPaths>

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

void PrintSheetOn(QWidget* parent, const printout::PrintoutSheet& sheet)
{
    QPrinter choice;
    QPrintDialog dialog(&choice, parent);
    dialog.setObjectName(QStringLiteral("PrintOnDialog"));
    dialog.setWindowTitle(QCoreApplication::translate("app", "Print on"));
    // Only the printer is taken from the dialog; no file, range or copies.
    dialog.setOptions(QAbstractPrintDialog::PrintDialogOptions());
    if (dialog.exec() != QDialog::Accepted || choice.printerName().isEmpty())
        return;
    printout::PrintSheet(sheet, {nullptr, choice.printerName().toStdString()});
}

} // namespace app
