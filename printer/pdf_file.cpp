#include "printer/pdf_file.h"

#include "printer/pdf_document.h"
#include "printer/errors.h"
#include "printer/folder_sync.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace printer {
namespace {

// The mode a new file gets from open(..., 0666): the process's umask
// applied. Read, not set, so other threads are not disturbed.
mode_t NewFileMode()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Umask:", 0) == 0)
            return 0666 & ~static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    return 0644;
}

class SharedDocumentContext final : public PrintContext {
public:
    SharedDocumentContext(std::shared_ptr<PdfDocument> doc, std::function<int()> open)
        : doc_(std::move(doc)), open_(std::move(open))
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
            doc_->Begin(open_());
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
    std::function<int()> open_;
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
    return std::make_unique<SharedDocumentContext>(doc_, [this] { return OpenBeside(); });
}

// A hidden name in the same folder, so the rename that puts the file in
// place cannot cross file systems.
int PdfFileSpooler::OpenBeside()
{
    const std::size_t slash = path_.find_last_of('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string pattern = path_.substr(0, base) + "." + path_.substr(base) + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        throw EOSError(err, std::strerror(err));
    }
    drawing_ = pattern;
    // The mode of the file it replaces, or of any new file.
    struct stat old{};
    ::fchmod(fd, ::stat(path_.c_str(), &old) == 0 ? (old.st_mode & 07777) : NewFileMode());
    return fd;
}

void PdfFileSpooler::Abandon()
{
    if (drawing_.empty())
        return;
    try {
        doc_->End();
    } catch (...) {
    }
    ::unlink(drawing_.c_str());
    drawing_.clear();
}

void PdfFileSpooler::Finish()
{
    if (!doc_->Begun())
        doc_->Begin(OpenBeside());
    doc_->End(true);
    if (::rename(drawing_.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        throw EOSError(err, std::strerror(err));
    }
    drawing_.clear();
    SyncFolder(FolderOf(path_), ::fsync);
}

} // namespace printer
