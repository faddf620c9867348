#pragma once
// Printers nobody here wrote, behind the private cupsd, queued as a desktop
// queues them: CUPS's IPP Everywhere simulator (ippeveprinter) on a loopback
// port, keeping every document it receives, and the desktop PDF printer
// (cups-pdf), writing into the private cupsd's folder.

#include "cupsd_harness.h"

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

class SimulatedPrinter {
public:
    // attributes: an attribute file's text (ipptool ATTR lines) describing
    // the printer; empty: the simulator's own printer (Letter by default,
    // 18 pt margins), taking PDF and PWG raster. Throws std::runtime_error
    // when it does not come up.
    SimulatedPrinter(PrivateCupsd& cupsd, const std::string& name, const std::string& attributes = {});
    ~SimulatedPrinter();  // stops the simulator and its bus
    SimulatedPrinter(const SimulatedPrinter&) = delete;
    SimulatedPrinter& operator=(const SimulatedPrinter&) = delete;

    std::string Uri() const;
    // lpadmin -p queue -E -v <uri> -m everywhere.
    void AddQueue(const std::string& queue);
    // Once the cupsd has finished its jobs: every document received so far,
    // in order of arrival.
    std::vector<std::string> Received(double timeoutSeconds = 60);
    void ClearReceived();
    pid_t Pid() const { return pid_; }

private:
    PrivateCupsd& cupsd_;
    std::string dir_;
    int port_ = 0;
    pid_t bus_ = -1;
    pid_t pid_ = -1;
};

// Empty when a cups-pdf queue can be made here; else why not (cups-pdf must
// run as root, and its settings file is put in place in a mount namespace).
std::string CupsPdfUnavailable();
// A queue of cups-pdf with its own PPD, writing into the private cupsd's
// folder instead of the user's; returns that folder.
std::string AddCupsPdfQueue(PrivateCupsd& cupsd, const std::string& queue);
// The PDF files in folder, in order of arrival.
std::vector<std::string> PdfFilesIn(const std::string& folder);

// A word on the first page of a PDF as pdftotext -bbox finds it, in points
// from the page's top-left corner; and the page's size.
struct WordBox {
    std::string word;
    double xMin = 0, yMin = 0, xMax = 0, yMax = 0;
    double pageWidth = 0, pageHeight = 0;
};
std::vector<WordBox> FirstPageWords(const std::string& pdf);

// Where the first page of a PDF is inked, in points from its top-left corner,
// as poppler renders it at 144 dpi (half-point steps): for documents whose
// text poppler cannot read back (a PDF printer's fonts, converted).
struct InkBox {
    double left = 0, top = 0, right = 0, bottom = 0;
    bool empty = true;
};
InkBox FirstPageInk(const std::string& pdf);

} // namespace testing_support
