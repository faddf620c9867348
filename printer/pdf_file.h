#pragma once
// A spooler with one printer that writes every job into the same PDF file,
// each job beginning on a new page: the printout saved as a file, laid out
// by the same text device as on paper.

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

    // Completes the file; a file no job was written into gets one empty
    // page. Throws EOSError when the file cannot be written.
    void Finish();
    // After a failure: a file that was begun is removed, not left half
    // written.
    void Abandon();

private:
    std::string path_;
    std::shared_ptr<PdfDocument> doc_;
};

} // namespace printer
