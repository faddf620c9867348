#pragma once
// A spooler with one printer that writes every job into the same PDF file,
// each job beginning on a new page: the printout saved as a file, laid out
// by the same text device as on paper. The file is drawn beside its place
// and takes it only once complete, so a failed save never costs the file it
// would have replaced.

#include "printer/spooler.h"

#include <memory>
#include <string>

namespace printer {

class PdfDocument;

class PdfFileSpooler final : public PrintSpooler {
public:
    static constexpr const char* kDevice = "PDF";

    PdfFileSpooler(std::string path, const PaperLayout& paper);
    ~PdfFileSpooler() override;

    std::vector<std::string> PrinterNames() override { return {kDevice}; }
    std::optional<std::string> DefaultPrinter() override { return std::string(kDevice); }
    std::unique_ptr<PrintContext> MakeContext(const std::string& device, bool drawing) override;

    // Completes the file and puts it in its place; a file no job was
    // written into gets one empty page. Throws EOSError when the file cannot
    // be written.
    void Finish();
    // After a failure: the file being drawn goes; the place is untouched.
    void Abandon();

private:
    int OpenBeside();

    std::string path_;
    std::string drawing_; // the file being drawn, until it takes its place
    std::shared_ptr<PdfDocument> doc_;
};

} // namespace printer
