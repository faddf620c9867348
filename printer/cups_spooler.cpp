#include "printer/cups_spooler.h"

#include "printer/errors.h"
#include "printout/clock_text.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

#include <cups/cups.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace printer {
namespace {

[[noreturn]] void ThrowCupsError()
{
    const char* text = cupsLastErrorString();
    throw EOSError(static_cast<int>(cupsLastError()), text ? text : "");
}

// CUPS answers "not found" both when there is no default and when it cannot
// reach the server at all; only a connection attempt tells them apart.
void CheckServerReachable()
{
    // Short: the window waits for the answer.
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                5000, nullptr);
    if (http) {
        httpClose(http);
        return;
    }
    throw EOSError(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE,
                   std::string("The print server ") + cupsServer() + " cannot be reached.");
}

std::string DestName(const cups_dest_t& dest)
{
    std::string name = dest.name;
    if (dest.instance) {
        name += '/';
        name += dest.instance;
    }
    return name;
}

struct DestDeleter {
    void operator()(cups_dest_t* dest) const { cupsFreeDests(1, dest); }
};
using DestPtr = std::unique_ptr<cups_dest_t, DestDeleter>;

DestPtr NamedDest(const std::string& device)
{
    const std::size_t slash = device.find('/');
    const std::string name = device.substr(0, slash);
    const std::string instance = slash == std::string::npos ? std::string() : device.substr(slash + 1);
    return DestPtr(cupsGetNamedDest(CUPS_HTTP_DEFAULT, name.c_str(),
                                    instance.empty() ? nullptr : instance.c_str()));
}

// Hands a rendered job to CUPS. Every refusal on the way is an error: a page
// that silently never prints is lost.
void SubmitJob(const std::string& device, const std::string& path, const std::string& title)
{
    DestPtr dest = NamedDest(device);
    if (!dest)
        ThrowCupsError();

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        throw EOSError(err, std::strerror(err));
    }
    struct CloseFd {
        int fd;
        ~CloseFd() { ::close(fd); }
    } closeFd{fd};

    const int job = cupsCreateJob(CUPS_HTTP_DEFAULT, dest->name, title.c_str(), dest->num_options,
                                  dest->options);
    if (job == 0)
        ThrowCupsError();

    auto lastError = [] {
        const char* text = cupsLastErrorString();
        return EOSError(static_cast<int>(cupsLastError()), text ? text : "");
    };
    auto cancelAndThrow = [&](const EOSError& error) {
        cupsCancelJob2(CUPS_HTTP_DEFAULT, dest->name, job, 0);
        throw error;
    };

    if (cupsStartDocument(CUPS_HTTP_DEFAULT, dest->name, job, title.c_str(), CUPS_FORMAT_PDF, 1) !=
        HTTP_STATUS_CONTINUE)
        cancelAndThrow(lastError());

    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            cupsFinishDocument(CUPS_HTTP_DEFAULT, dest->name);
            cancelAndThrow(EOSError(err, std::strerror(err)));
        }
        if (n == 0)
            break;
        if (cupsWriteRequestData(CUPS_HTTP_DEFAULT, buffer, static_cast<size_t>(n)) !=
            HTTP_STATUS_CONTINUE) {
            const EOSError error = lastError();  // before finishing overwrites it
            cupsFinishDocument(CUPS_HTTP_DEFAULT, dest->name);
            cancelAndThrow(error);
        }
    }
    if (cupsFinishDocument(CUPS_HTTP_DEFAULT, dest->name) > IPP_STATUS_OK_CONFLICTING)
        cancelAndThrow(lastError());
}

class QtPrintContext final : public PrintContext {
public:
    QtPrintContext(std::string device, std::unique_ptr<QPrinter> printer)
        : device_(std::move(device)), printer_(std::move(printer))
    {
    }

    ~QtPrintContext() override
    {
        if (painter_ && painter_->isActive())
            painter_->end();
        painter_.reset();
        RemoveFile();
    }

    int PageWidth() const override { return printer_->width(); }
    int PageHeight() const override { return printer_->height(); }
    int PixelsPerInchY() const override { return printer_->logicalDpiY(); }

    void SelectFont(const FontRequest& request) override
    {
        // No style hint: with one Qt would pick another face than the
        // metric-compatible substitute fontconfig offers.
        font_ = QFont(QString::fromUtf8(request.name.data(), static_cast<qsizetype>(request.name.size())));
        font_.setPixelSize(std::max(1, request.pixelHeight));
        metrics_.emplace(font_, printer_.get());
        if (painter_)
            painter_->setFont(font_);
    }

    TextMetric Metrics() override
    {
        const QFontMetrics& fm = FontMetrics();
        return {fm.height(), fm.averageCharWidth()};
    }

    TextSize Extent(std::string_view text) override
    {
        const QFontMetrics& fm = FontMetrics();
        return {fm.horizontalAdvance(printout::DecodeClockText(text)), fm.height()};
    }

    void TextOut(int x, int y, std::string_view text) override
    {
        if (!painter_)
            return;  // the job could not be started; EndDoc says so
        painter_->drawText(QPoint(x, y + FontMetrics().ascent()), printout::DecodeClockText(text));
    }

    void StartDoc(const std::string& title, ProgressCallback progress) override
    {
        title_ = title;
        progress_ = std::move(progress);
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillprint-XXXXXX.job";
        const int fd = ::mkstemps(pattern.data(), 4);
        if (fd < 0) {
            startErrno_ = errno;
            return;
        }
        ::close(fd);
        path_ = pattern;
        // Not ".pdf": that name would switch the printer to plain PDF output
        // and lose the queue's page size and margins.
        printer_->setOutputFileName(QString::fromStdString(path_));
        printer_->setDocName(QString::fromStdString(title));
        painter_ = std::make_unique<QPainter>();
        if (!painter_->begin(printer_.get())) {
            painter_.reset();
            return;
        }
        painter_->setFont(font_);
        painter_->setPen(Qt::black);
    }

    void StartPage() override
    {
        if (!painter_)
            return;
        if (pages_++ > 0) {
            printer_->newPage();
            if (progress_)
                progress_();
        }
    }

    void EndPage() override {}

    void EndDoc() override
    {
        if (!painter_) {
            if (startErrno_ != 0)
                throw EOSError(startErrno_, std::strerror(startErrno_));
            throw EOSError(0, {});
        }
        const bool written = painter_->end();
        painter_.reset();
        if (!written)
            throw EOSError(0, {});
        if (progress_)
            progress_();
        SubmitJob(device_, path_, title_);
        RemoveFile();
        if (progress_)
            progress_();
    }

private:
    const QFontMetrics& FontMetrics()
    {
        if (!metrics_)
            metrics_.emplace(font_, printer_.get());
        return *metrics_;
    }

    void RemoveFile()
    {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            path_.clear();
        }
    }

    std::string device_;
    std::unique_ptr<QPrinter> printer_;
    std::unique_ptr<QPainter> painter_;
    QFont font_;
    std::optional<QFontMetrics> metrics_;
    std::string title_;
    std::string path_;
    int startErrno_ = 0;
    int pages_ = 0;
    ProgressCallback progress_;
};

class CupsSpooler final : public PrintSpooler {
public:
    std::vector<std::string> PrinterNames() override
    {
        cups_dest_t* dests = nullptr;
        const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i)
            names.push_back(DestName(dests[i]));
        cupsFreeDests(count, dests);
        if (count == 0)
            CheckServerReachable();
        return names;
    }

    std::optional<std::string> DefaultPrinter() override
    {
        DestPtr dest(cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr));
        if (dest)
            return DestName(*dest);
        CheckServerReachable();
        return std::nullopt;
    }

    std::unique_ptr<PrintContext> MakeContext(const std::string& device, bool) override
    {
        // QPrinter needs the GUI application for its fonts.
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return nullptr;
        const QString name = QString::fromUtf8(device.data(), static_cast<qsizetype>(device.size()));
        const QPrinterInfo info = QPrinterInfo::printerInfo(name);
        if (info.isNull())
            return nullptr;
        auto printer = std::make_unique<QPrinter>(info, QPrinter::HighResolution);
        if (!printer->isValid() || printer->outputFormat() != QPrinter::NativeFormat ||
            printer->printerName() != name)
            return nullptr;
        return std::make_unique<QtPrintContext>(device, std::move(printer));
    }
};

} // namespace

std::unique_ptr<PrintSpooler> MakeCupsSpooler()
{
    return std::make_unique<CupsSpooler>();
}

} // namespace printer
