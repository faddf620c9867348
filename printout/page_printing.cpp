#include "printout/page_printing.h"

#include "printer/pdf_file.h"
#include "printer/printer.h"
#include "printer/text_device.h"

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace printout {

void PrintRows(const PrintoutSheet& sheet, std::uint32_t first, std::uint32_t last, const PrintTarget& target)
{
    printer::TPrinter& printer = target.printer ? *target.printer : printer::Printer();
    if (target.device.empty())
        printer.SetPrinterIndex(-1);
    else
        printer.SelectDevice(target.device);

    printer.SetCopies(target.copies);
    printer.SetMedia(target.media);
    // The next walk starts from one copy on the printer's own paper.
    struct OneCopy {
        printer::TPrinter& p;
        ~OneCopy()
        {
            if (!p.Printing()) {
                p.SetCopies(1);
                p.SetMedia({});
            }
        }
    } oneCopy{printer};

    std::vector<std::string> rows;
    const std::int64_t end = std::min<std::int64_t>(std::int64_t{last} + 1, sheet.RowCount());
    for (std::int64_t row = first; row < end; ++row)
        rows.emplace_back(sheet.RowText(static_cast<int>(row)));

    printer::TFont& font = printer.Canvas().Font();
    const std::string oldName = font.Name();
    const int oldSize = font.Size();
    font.SetName("Courier New");
    font.SetSize(12);

    std::exception_ptr failure;
    printer::PrinterTextDevice device;
    try {
        device.Attach(printer);
        device.OpenForOutput();
        for (const std::string& row : rows)
            device.WriteLine(row);
    } catch (...) {
        failure = std::current_exception();
    }
    // Clean-up: end the job (if it began), then give the font back; the
    // first failure is the one reported.
    try {
        device.Close();
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    font.SetName(oldName);
    font.SetSize(oldSize);
    if (failure)
        std::rethrow_exception(failure);
}

namespace {

// The page walk: calls page(first, last) for each page of the sheet.
template <class Page>
void WalkPages(const PrintoutSheet& sheet, Page page)
{
    std::optional<int> pageFirst;
    // 64 bits, so "row + 2" cannot overflow on the largest sheet.
    for (std::int64_t row = 0; row < sheet.RowCount(); ++row) {
        const bool marker = sheet.IsPageMarker(static_cast<int>(row));
        if (!pageFirst) {
            if (marker && row + 2 < sheet.RowCount())
                pageFirst = static_cast<int>(row + 1);
        } else if (marker) {
            page(static_cast<std::uint32_t>(*pageFirst), static_cast<std::uint32_t>(row - 1));
            pageFirst.reset();
            if (row + 2 < sheet.RowCount())
                pageFirst = static_cast<int>(row + 1);
        } else if (row + 1 == sheet.RowCount()) {
            page(static_cast<std::uint32_t>(*pageFirst), static_cast<std::uint32_t>(row));
            pageFirst.reset();
        }
    }
}

} // namespace

int PageCount(const PrintoutSheet& sheet)
{
    int count = 0;
    WalkPages(sheet, [&](std::uint32_t, std::uint32_t) { ++count; });
    return count;
}

void PrintSheet(const PrintoutSheet& sheet, const PrintTarget& target)
{
    int number = 0;
    WalkPages(sheet, [&](std::uint32_t first, std::uint32_t last) {
        ++number;
        if (!target.pages || target.pages(number))
            PrintRows(sheet, first, last, target);
    });
}

void SaveSheetAsPdf(const PrintoutSheet& sheet, const std::string& path)
{
    // Without a printer to say otherwise: the locale's paper, 10 mm all round.
    printer::PaperLayout paper = printer::LocalePaper(10 * 72 / 25.4);
    try {
        printer::TPrinter& system = printer::Printer();
        system.SetPrinterIndex(-1);
        paper = system.Paper();
    } catch (const std::exception&) {
        // No default printer to take the paper from: the locale's will do.
    }
    auto spooler = std::make_unique<printer::PdfFileSpooler>(path, paper);
    printer::PdfFileSpooler& file = *spooler;
    printer::TPrinter pdf(std::move(spooler));
    // Nothing waits on a server here; the walk runs through in one go.
    pdf.SetProgressCallback({});
    PrintTarget target;
    target.printer = &pdf;
    try {
        PrintSheet(sheet, target);
        file.Finish();
    } catch (...) {
        file.Abandon();
        throw;
    }
}

} // namespace printout
