#include "printer/text_device.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace printer {

PrinterTextDevice::~PrinterTextDevice()
{
    if (mode_ == Mode::Output) {
        try {
            Close();
        } catch (...) {
            // Destruction cannot report; the job is ended all the same.
        }
    }
}

TPrinter& PrinterTextDevice::Bound()
{
    if (!printer_)
        throw std::logic_error("printer text device is not attached");
    return *printer_;
}

void PrinterTextDevice::Attach()
{
    Attach(Printer());
}

void PrinterTextDevice::Attach(TPrinter& printer)
{
    if (mode_ == Mode::Output)
        Close();
    printer_ = &printer;
    mode_ = Mode::Closed;
    buffered_ = 0;
}

void PrinterTextDevice::OpenForOutput()
{
    TPrinter& printer = Bound();
    if (mode_ != Mode::Closed)
        Close();
    buffered_ = 0;
    printer.BeginDoc();
    mode_ = Mode::Output;
    x_ = 0;
    y_ = 0;
    lineHeight_ = 0;
    pagePending_ = false;
    try {
        rightLimit_ = printer.PageWidth();
        bottomLimit_ = printer.PageHeight();
    } catch (...) {
        Close();
        throw;
    }
}

void PrinterTextDevice::OpenForInput()
{
    Bound();
    if (mode_ != Mode::Closed)
        Close();
    buffered_ = 0;
    mode_ = Mode::Input;
}

std::size_t PrinterTextDevice::Read(char*, std::size_t)
{
    return 0;
}

void PrinterTextDevice::Write(std::string_view text)
{
    if (mode_ != Mode::Output)
        throw std::logic_error("printer text device is not open for output");
    while (!text.empty()) {
        const std::size_t n = std::min(text.size(), kBufferSize - buffered_);
        std::copy_n(text.data(), n, buffer_.data() + buffered_);
        buffered_ += n;
        text.remove_prefix(n);
        if (buffered_ == kBufferSize)
            Flush();
    }
}

void PrinterTextDevice::LineEnd()
{
    Write("\n");
    Flush();
}

void PrinterTextDevice::Flush()
{
    const std::size_t n = buffered_;
    buffered_ = 0;
    if (n > 0)
        Layout(std::string_view(buffer_.data(), n));
}

void PrinterTextDevice::Close()
{
    if (mode_ != Mode::Output) {
        mode_ = Mode::Closed;
        buffered_ = 0;
        return;
    }
    mode_ = Mode::Closed;
    // The job ends even when laying out the rest fails; the first error is
    // the one reported.
    std::exception_ptr failure;
    try {
        Flush();
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        Bound().EndDoc();
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    if (failure)
        std::rethrow_exception(failure);
}

void PrinterTextDevice::Layout(std::string_view piece)
{
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const char c = piece[i];
        if (c != '\t' && c != '\n' && c != '\f' && c != '\r')
            continue;
        DrawRun(piece.substr(runStart, i - runStart));
        runStart = i + 1;
        switch (c) {
        case '\t': {
            const int w = 8 * Bound().Canvas().TextMetrics().aveCharWidth;
            // A font without width has no tab stops; leave x alone rather
            // than divide by zero.
            if (w > 0) {
                x_ = x_ + w - ((x_ + w + 1) % w) + 1;
                if (x_ > rightLimit_)
                    NewLine();
            }
            break;
        }
        case '\n':
            NewLine();
            break;
        case '\f':
            NewPage();
            break;
        default:  // carriage return: x stays where it is
            break;
        }
    }
    DrawRun(piece.substr(runStart));
}

void PrinterTextDevice::DrawRun(std::string_view run)
{
    TPrinterCanvas& canvas = Bound().Canvas();
    while (!run.empty()) {
        std::size_t n = run.size();
        TextSize extent = canvas.TextExtent(run.substr(0, n));
        while (n > 0 && x_ + extent.cx > rightLimit_) {
            --n;
            extent = canvas.TextExtent(run.substr(0, n));
        }
        // A character wider than the whole page would otherwise be put off
        // to the next line forever: it goes out on its own line, clipped.
        if (n == 0 && x_ == 0) {
            n = 1;
            extent = canvas.TextExtent(run.substr(0, n));
        }
        if (extent.cy > lineHeight_)
            lineHeight_ = extent.cy + 2;
        if (n > 0) {
            StartPendingPage();
            canvas.TextOut(x_, y_, run.substr(0, n));
        }
        if (n == run.size()) {
            x_ += extent.cx;
            return;
        }
        run.remove_prefix(n);
        NewLine();
    }
}

void PrinterTextDevice::NewLine()
{
    x_ = 0;
    const int charHeight = Bound().Canvas().TextMetrics().height;
    y_ += lineHeight_ == 0 ? charHeight : lineHeight_;
    // Room for two more lines like the one just finished; after an empty
    // line, room for at least one line of text, so that it is not drawn
    // across the bottom edge of the printable area.
    const int room = lineHeight_ == 0 ? charHeight : 2 * lineHeight_;
    if (y_ > bottomLimit_ - room)
        NewPage();
    lineHeight_ = 0;
}

// The line height carries over: the line a form feed ends still advances
// by its own height.
void PrinterTextDevice::NewPage()
{
    x_ = 0;
    y_ = 0;
    pagePending_ = true;
}

void PrinterTextDevice::StartPendingPage()
{
    if (!pagePending_)
        return;
    pagePending_ = false;
    Bound().NewPage();
}

} // namespace printer
