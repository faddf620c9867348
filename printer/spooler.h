#pragma once
// What the printer object needs from the platform: the printers, the default
// one, and device contexts to measure and draw text and to run jobs. The real
// one is CUPS with Qt's printer drawing (cups_spooler.h); tests plug in a
// device with fixed metrics.
//
// Text is handed over as bytes in the system's 8-bit code page (Windows-1252).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace printer {

struct TextSize {
    int cx = 0;
    int cy = 0;
};

struct TextMetric {
    int height = 0;        // character height (ascent + descent)
    int aveCharWidth = 0;
};

// A sheet of paper and its printable area, in points (1/72 inch).
struct PaperLayout {
    double width = 0;
    double height = 0;
    double left = 0, top = 0, right = 0, bottom = 0;  // unprintable margins
    std::string media;  // its PWG name, as a job asks for it; empty: none known
    bool operator==(const PaperLayout&) const = default;
};

// The paper of a printer that describes none of its own: the locale's
// (Letter where US measures are used, else A4), with margins of this many
// points all round.
PaperLayout LocalePaper(double margin = 10);

// What a context needs to realise a font: the family and the height in
// device pixels.
struct FontRequest {
    std::string name;
    int pixelHeight = 0;
};

// Called now and then while the printer waits (for the server, or while a
// job is spooled): the caller decides what runs meanwhile. Printer code never
// runs an event loop itself.
using ProgressCallback = std::function<void()>;

// Asked when the print server wants a password for user; none: the user
// declined. The time it takes does not count against the server's bound.
using PasswordCallback =
    std::function<std::optional<std::string>(const std::string& user, const std::string& server)>;

class PrintContext {
public:
    virtual ~PrintContext() = default;

    // Printable area in device pixels, and the vertical resolution.
    virtual int PageWidth() const = 0;
    virtual int PageHeight() const = 0;
    virtual int PixelsPerInchY() const = 0;
    virtual PaperLayout Paper() const = 0;

    virtual void SelectFont(const FontRequest& font) = 0;
    virtual TextMetric Metrics() = 0;
    virtual TextSize Extent(std::string_view text) = 0;
    // Top-left corner of the text at (x, y); (0, 0) is the printable area's.
    virtual void TextOut(int x, int y, std::string_view text) = 0;

    // Job brackets; drawing contexts only. StartDoc throws when the job
    // cannot begin; EndDoc hands the job to the spooler and throws EOSError
    // when that fails.
    virtual void StartDoc(const std::string& title, ProgressCallback progress) = 0;
    // Copies of each job begun from now on; a context that cannot print
    // more than one ignores it.
    virtual void SetCopies(int copies) { (void)copies; }
    virtual void StartPage() = 0;
    virtual void EndPage() = 0;
    virtual void EndDoc() = 0;
};

class PrintSpooler {
public:
    virtual ~PrintSpooler() = default;

    // While the spooler waits for its server outside a job, it calls this
    // now and then; it asks for a password through the other.
    void SetWaitCallback(ProgressCallback wait) { wait_ = std::move(wait); }
    void SetPasswordCallback(PasswordCallback ask) { password_ = std::move(ask); }
    // The paper of the contexts made from now on, by name (PWG or PPD, as
    // "iso_a4_210x297mm" or "A4"); empty: each printer's own default.
    void SetMedia(std::string media) { media_ = std::move(media); }

    // Every printer the spooler knows, by device name. Throws EOSError when
    // the spooler cannot be asked.
    virtual std::vector<std::string> PrinterNames() = 0;
    // The default printer's device name, or none when no default is set.
    // Throws EOSError when the spooler cannot be asked.
    virtual std::optional<std::string> DefaultPrinter() = 0;
    // A context for the named printer; null when none can be made.
    // drawing = false gives an information context (metrics only).
    virtual std::unique_ptr<PrintContext> MakeContext(const std::string& device, bool drawing) = 0;

protected:
    void Waiting() const
    {
        if (wait_)
            wait_();
    }
    const PasswordCallback& Password() const { return password_; }
    const std::string& Media() const { return media_; }

private:
    ProgressCallback wait_;
    PasswordCallback password_;
    std::string media_;
};

} // namespace printer
