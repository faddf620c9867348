#include "printer/pdf_file.h"

#include "printer/pdf_document.h"

#include <unistd.h>

namespace printer {
namespace {

class SharedDocumentContext final : public PrintContext {
public:
    SharedDocumentContext(std::shared_ptr<PdfDocument> doc, const std::string& path)
        : doc_(std::move(doc)), path_(path)
    {
    }

    int PageWidth() const override { return doc_->PageWidth(); }
    int PageHeight() const override { return doc_->PageHeight(); }
    int PixelsPerInchY() const override { return PdfDocument::kResolution; }
    PaperLayout Paper() const override { return doc_->Paper(); }

    void SelectFont(const FontRequest& font) override { doc_->SelectFont(font); }
    TextMetric Metrics() override { return doc_->Metrics(); }
    TextSize Extent(std::string_view text) override { return doc_->Extent(text); }
    void TextOut(int x, int y, std::string_view text) override { doc_->TextOut(x, y, text); }

    // The first job opens the file; each later one starts on a new page.
    void StartDoc(const std::string&, ProgressCallback) override
    {
        if (doc_->Begun())
            doc_->NewPage();
        else
            doc_->Begin(PdfDocument::OpenFile(path_));
    }
    void StartPage() override
    {
        if (pages_++ > 0)
            doc_->NewPage();
    }
    void EndPage() override {}
    void EndDoc() override {}

private:
    std::shared_ptr<PdfDocument> doc_;
    std::string path_;
    int pages_ = 0;
};

} // namespace

PdfFileSpooler::PdfFileSpooler(std::string path, const PaperLayout& paper)
    : path_(std::move(path)), doc_(std::make_shared<PdfDocument>(paper))
{
}

PdfFileSpooler::~PdfFileSpooler() = default;

std::unique_ptr<PrintContext> PdfFileSpooler::MakeContext(const std::string& device, bool)
{
    if (device != kDevice)
        return nullptr;
    return std::make_unique<SharedDocumentContext>(doc_, path_);
}

void PdfFileSpooler::Abandon()
{
    if (!doc_->Touched())
        return;
    try {
        doc_->End();
    } catch (...) {
    }
    ::unlink(path_.c_str());
}

void PdfFileSpooler::Finish()
{
    if (!doc_->Begun())
        doc_->Begin(PdfDocument::OpenFile(path_));
    doc_->End();
}

} // namespace printer
