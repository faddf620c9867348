#include "printer/printer.h"

#include "printer/cups_spooler.h"

#include <QCoreApplication>

#include <algorithm>
#include <cctype>

namespace printer {
namespace {

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

ProgressCallback& DefaultWait()
{
    static ProgressCallback wait;
    return wait;
}

PasswordCallback& DefaultPassword()
{
    static PasswordCallback ask;
    return ask;
}

std::unique_ptr<TPrinter>& ProcessPrinter()
{
    static std::unique_ptr<TPrinter> printer;
    return printer;
}

} // namespace

// ---- TFont ------------------------------------------------------------------

void TFont::SetName(std::string name)
{
    if (name == name_)
        return;
    name_ = std::move(name);
    ++generation_;
}

void TFont::SetSize(int points)
{
    if (points == size_)
        return;
    size_ = points;
    ++generation_;
}

void TFont::SetPixelsPerInch(int pixelsPerInch)
{
    if (pixelsPerInch == pixelsPerInch_)
        return;
    pixelsPerInch_ = pixelsPerInch;
    ++generation_;
}

int TFont::Height() const
{
    const long long scaled = static_cast<long long>(size_) * pixelsPerInch_;
    return static_cast<int>(scaled >= 0 ? (scaled + 36) / 72 : (scaled - 36) / 72);
}

// ---- TPrinterCanvas -----------------------------------------------------------

void TPrinterCanvas::FitFont(const PrintContext& context)
{
    // Points stay points on paper, whatever the printer's resolution.
    font_.SetPixelsPerInch(context.PixelsPerInchY());
}

PrintContext& TPrinterCanvas::Context()
{
    printer_.CheckPrinting(true);
    PrintContext& context = *printer_.context_;
    FitFont(context);
    if (selectedGeneration_ != font_.Generation()) {
        context.SelectFont({font_.Name(), font_.Height()});
        selectedGeneration_ = font_.Generation();
    }
    return context;
}

TextMetric TPrinterCanvas::TextMetrics()
{
    return Context().Metrics();
}

TextSize TPrinterCanvas::TextExtent(std::string_view text)
{
    return Context().Extent(text);
}

void TPrinterCanvas::TextOut(int x, int y, std::string_view text)
{
    Context().TextOut(x, y, text);
}

// ---- TPrinter -------------------------------------------------------------------

TPrinter::TPrinter(std::unique_ptr<PrintSpooler> spooler)
    : spooler_(std::move(spooler)), progress_(DefaultWait())
{
    spooler_->SetWaitCallback([this] {
        if (progress_)
            progress_();
    });
    spooler_->SetPasswordCallback(DefaultPassword());
}

TPrinter::~TPrinter()
{
    if (printing_) {
        try {
            EndDoc();
        } catch (...) {
            // Nobody is left to tell; the job is ended either way.
        }
    }
    printing_ = false;
    context_.reset();
}

void TPrinter::SetCopies(int copies)
{
    CheckPrinting(false);
    copies_ = std::max(1, copies);
}

void TPrinter::SetMedia(std::string media)
{
    CheckPrinting(false);
    if (media == media_)
        return;
    media_ = std::move(media);
    spooler_->SetMedia(media_);
    // The paper is the context's: the next one is made for it.
    SetState(psNoHandle);
}

void TPrinter::CheckPrinting(bool value) const
{
    if (printing_ != value)
        throw EPrinter(value ? kNotPrinting : kPrintingInProgress);
}

std::vector<TPrinter::Entry>& TPrinter::Entries()
{
    if (!entries_) {
        auto entries = std::make_unique<std::vector<Entry>>();
        for (std::string& name : spooler_->PrinterNames())
            entries->push_back({name, {}, name, {}});
        entries_ = std::move(entries);
    }
    return *entries_;
}

std::vector<std::string> TPrinter::Printers()
{
    std::vector<std::string> names;
    for (const Entry& e : Entries())
        names.push_back(e.display);
    return names;
}

std::optional<std::size_t> TPrinter::FindDevice(const std::string& device)
{
    for (int pass = 0; pass < 2; ++pass) {
        // A printer added while the program runs is only in a fresh list.
        if (pass == 1)
            entries_.reset();
        const std::vector<Entry>& entries = Entries();
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [&](const Entry& e) { return SameIgnoringCase(e.device, device); });
        if (it != entries.end())
            return static_cast<std::size_t>(it - entries.begin());
    }
    return std::nullopt;
}

void TPrinter::SelectDefault()
{
    const std::optional<std::string> name = spooler_->DefaultPrinter();
    if (!name)
        throw EPrinter(kNoDefaultPrinter);
    const std::optional<std::size_t> index = FindDevice(*name);
    if (!index)
        throw EPrinter(kNoDefaultPrinter);
    const Entry found = Entries()[*index];
    SelectEntry(found.driver, found.device, found.port);
}

void TPrinter::SelectDevice(const std::string& device)
{
    CheckPrinting(false);
    const std::optional<std::size_t> index = FindDevice(device);
    if (!index)
        throw EPrinter(kPrinterNotValid);
    index_ = static_cast<int>(*index);
    SetState(psNoHandle);
}

void TPrinter::SelectEntry(const std::string& driver, const std::string& device, const std::string& port)
{
    CheckPrinting(false);
    std::vector<Entry>& entries = Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Entry& e = entries[i];
        if (e.device == device && (e.port.empty() || e.port == port)) {
            e.port = port;
            index_ = static_cast<int>(i);
            return;
        }
    }
    entries.push_back({device + " on " + port, driver, device, port});
    index_ = static_cast<int>(entries.size()) - 1;
}

int TPrinter::PrinterIndex()
{
    if (index_ == -1)
        SelectDefault();
    return index_;
}

void TPrinter::SetPrinterIndex(int index)
{
    CheckPrinting(false);
    if (index == -1) {
        SelectDefault();
    } else {
        if (index_ == -1)
            SelectDefault();
        if (index < 0 || index >= static_cast<int>(Entries().size()))
            throw EPrinter(kIndexOutOfRange);
    }
    index_ = index;
    SetState(psNoHandle);
}

std::string TPrinter::SelectedDevice()
{
    const int index = PrinterIndex();
    return Entries()[static_cast<std::size_t>(index)].device;
}

std::unique_ptr<PrintContext> TPrinter::MakeContext(bool drawing)
{
    std::unique_ptr<PrintContext> context = spooler_->MakeContext(SelectedDevice(), drawing);
    if (!context)
        throw EPrinter(kPrinterNotValid);
    return context;
}

void TPrinter::SetState(TPrinterState state)
{
    if (state == state_)
        return;
    switch (state) {
    case psNoHandle:
        CheckPrinting(false);
        canvas_.Refresh();
        context_.reset();
        state_ = psNoHandle;
        break;
    case psHandleIC:
        // A drawing context answers every question an information one does.
        if (state_ == psHandleDC)
            return;
        context_ = MakeContext(false);
        canvas_.Refresh();
        state_ = psHandleIC;
        break;
    case psHandleDC:
        canvas_.Refresh();
        context_.reset();
        state_ = psNoHandle;
        context_ = MakeContext(true);
        state_ = psHandleDC;
        break;
    }
}

int TPrinter::PageWidth()
{
    SetState(psHandleIC);
    return context_->PageWidth();
}

int TPrinter::PageHeight()
{
    SetState(psHandleIC);
    return context_->PageHeight();
}

PaperLayout TPrinter::Paper()
{
    SetState(psHandleIC);
    return context_->Paper();
}

void TPrinter::BeginDoc()
{
    CheckPrinting(false);
    // Every job gets a fresh drawing context, also when one is held.
    if (state_ == psHandleDC) {
        canvas_.Refresh();
        context_.reset();
        state_ = psNoHandle;
    }
    SetState(psHandleDC);
    canvas_.Refresh();
    canvas_.FitFont(*context_);
    printing_ = true;
    aborted_ = false;
    pageNumber_ = 1;
    try {
        context_->SetCopies(copies_);
        context_->StartDoc(title_, [this] {
            if (progress_)
                progress_();
        });
        context_->StartPage();
    } catch (...) {
        // No job began: say so now, with nothing left open.
        printing_ = false;
        pageNumber_ = 0;
        canvas_.Refresh();
        context_.reset();
        state_ = psNoHandle;
        throw;
    }
}

void TPrinter::NewPage()
{
    CheckPrinting(true);
    context_->EndPage();
    context_->StartPage();
    ++pageNumber_;
    canvas_.Refresh();
}

void TPrinter::EndDoc()
{
    CheckPrinting(true);
    // The job is over whatever the spooler answers.
    struct Finish {
        TPrinter& p;
        ~Finish()
        {
            p.printing_ = false;
            p.aborted_ = false;
            p.pageNumber_ = 0;
        }
    } finish{*this};
    context_->EndPage();
    if (!aborted_)
        context_->EndDoc();
}

void SetWaitCallback(ProgressCallback wait)
{
    DefaultWait() = std::move(wait);
}

void SetPasswordCallback(PasswordCallback ask)
{
    DefaultPassword() = std::move(ask);
}

TPrinter& Printer()
{
    std::unique_ptr<TPrinter>& printer = ProcessPrinter();
    if (!printer) {
        printer = std::make_unique<TPrinter>(MakeCupsSpooler());
        // Its Qt printer and fonts must go before the application does.
        static bool cleanupAdded = false;
        if (!cleanupAdded && QCoreApplication::instance()) {
            qAddPostRoutine([] { ProcessPrinter().reset(); });
            cleanupAdded = true;
        }
    }
    return *printer;
}

std::unique_ptr<TPrinter> SetPrinter(std::unique_ptr<TPrinter> printer)
{
    std::unique_ptr<TPrinter> old = std::move(ProcessPrinter());
    ProcessPrinter() = std::move(printer);
    return old;
}

} // namespace printer
