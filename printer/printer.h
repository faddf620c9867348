#pragma once
// TPrinter: the process's one printer object, made on first use. It picks the
// printer (index -1 = the system's default printer), holds the printer font
// on its canvas, and begins, pages and ends jobs through the spooler.
//
// Main thread only. While it waits for the spooler it calls the wait callback,
// in which the window's handlers may run (even in the middle of a job), so
// every entry point checks the job state first.

#include "printer/errors.h"
#include "printer/spooler.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace printer {

class TPrinter;

class TFont {
public:
    const std::string& Name() const { return name_; }
    void SetName(std::string name);
    int Size() const { return size_; }  // points
    void SetSize(int points);
    // The resolution the pixel height is computed for; changing it keeps
    // the size in points.
    int PixelsPerInch() const { return pixelsPerInch_; }
    void SetPixelsPerInch(int pixelsPerInch);
    // Pixel height of the characters at PixelsPerInch, rounded.
    int Height() const;

    // Grows with every change, so a device knows when to select it again.
    unsigned Generation() const { return generation_; }

private:
    std::string name_ = "Arial";
    int size_ = 8;
    int pixelsPerInch_ = 96;
    unsigned generation_ = 1;
};

class TPrinterCanvas {
public:
    TFont& Font() { return font_; }
    const TFont& Font() const { return font_; }

    // These draw or measure on the job's context, so a job must be open
    // ("Printer is not currently printing" otherwise).
    TextMetric TextMetrics();
    TextSize TextExtent(std::string_view text);
    void TextOut(int x, int y, std::string_view text);

    // The font is selected into the context again before the next use.
    void Refresh() { selectedGeneration_ = 0; }

private:
    friend class TPrinter;
    explicit TPrinterCanvas(TPrinter& printer) : printer_(printer) {}
    PrintContext& Context();
    void FitFont(const PrintContext& context);

    TPrinter& printer_;
    TFont font_;
    unsigned selectedGeneration_ = 0;
};

enum TPrinterState { psNoHandle, psHandleIC, psHandleDC };

class TPrinter {
public:
    explicit TPrinter(std::unique_ptr<PrintSpooler> spooler);
    ~TPrinter();
    TPrinter(const TPrinter&) = delete;
    TPrinter& operator=(const TPrinter&) = delete;

    void BeginDoc();
    void NewPage();
    void EndDoc();

    bool Printing() const { return printing_; }
    bool Aborted() const { return aborted_; }
    int PageNumber() const { return pageNumber_; }
    const std::string& Title() const { return title_; }
    void SetTitle(std::string title) { title_ = std::move(title); }

    // Printable area of the selected printer, device pixels; its paper.
    int PageWidth();
    int PageHeight();
    PaperLayout Paper();

    // -1 selects the default printer, which is then looked up anew
    // whenever the index is next needed.
    int PrinterIndex();
    void SetPrinterIndex(int index);
    // Selects the printer with this device name, reading the printer list
    // again when it is not in it; fails with "Printer selected is not valid"
    // when the system does not know it either.
    void SelectDevice(const std::string& device);
    // Display names, built on first use and kept (read again when a printer
    // that is asked for is not in it).
    std::vector<std::string> Printers();
    // Device name of the selected printer (looks the default up if needed).
    std::string SelectedDevice();

    TPrinterCanvas& Canvas() { return canvas_; }
    TPrinterState State() const { return state_; }

    // Called whenever the printer waits: while a job is spooled and while
    // the server is asked. Starts as the one given to SetWaitCallback.
    void SetProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }

    // Copies of each job begun from now on (at least 1).
    int Copies() const { return copies_; }
    void SetCopies(int copies);
    // The paper of each job begun from now on, by name; empty (the start):
    // the printer's own default paper.
    const std::string& Media() const { return media_; }
    void SetMedia(std::string media);

private:
    friend class TPrinterCanvas;

    struct Entry {
        std::string display;
        std::string driver;
        std::string device;
        std::string port;
    };

    void CheckPrinting(bool value) const;
    std::vector<Entry>& Entries();
    // Index of the entry with this device name (case ignored); the list is
    // read again once when there is none.
    std::optional<std::size_t> FindDevice(const std::string& device);
    void SelectDefault();
    void SelectEntry(const std::string& driver, const std::string& device, const std::string& port);
    void SetState(TPrinterState state);
    std::unique_ptr<PrintContext> MakeContext(bool drawing);

    std::unique_ptr<PrintSpooler> spooler_;
    std::unique_ptr<PrintContext> context_;
    TPrinterCanvas canvas_{*this};
    TPrinterState state_ = psNoHandle;
    bool printing_ = false;
    bool aborted_ = false;  // nothing cancels a job here
    int pageNumber_ = 0;
    std::string title_;
    int index_ = -1;
    int copies_ = 1;
    std::string media_;
    std::unique_ptr<std::vector<Entry>> entries_;
    ProgressCallback progress_;
};

// How the program waits while the printer waits, and how it asks the user
// for a print server's password. Printer objects made afterwards use them;
// without them the printer waits without doing anything else and declines
// every password question.
void SetWaitCallback(ProgressCallback wait);
void SetPasswordCallback(PasswordCallback ask);

// The process's printer, made (on CUPS) on first use.
TPrinter& Printer();
// Puts another printer object in place, returning the previous one (which
// may be null). Tests use it to plug in their own spooler.
std::unique_ptr<TPrinter> SetPrinter(std::unique_ptr<TPrinter> printer);

} // namespace printer
