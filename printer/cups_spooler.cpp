#include "printer/cups_spooler.h"

#include "printer/cups_session.h"
#include "printer/errors.h"
#include "printer/pdf_document.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cups/cups.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <fcntl.h>
#include <unistd.h>

namespace printer {
namespace {

struct DestDeleter {
    void operator()(cups_dest_t* dest) const { cupsFreeDests(1, dest); }
};
using DestPtr = std::unique_ptr<cups_dest_t, DestDeleter>;

struct InfoDeleter {
    void operator()(cups_dinfo_t* info) const { cupsFreeDestInfo(info); }
};

std::string DeviceName(const cups_dest_t& dest)
{
    return dest.instance ? std::string(dest.name) + "/" + dest.instance : std::string(dest.name);
}

// A destination libcups did not find: none when the server says there is no
// such printer, a failure for anything else.
void CheckNotFound(CupsSession& session)
{
    const ipp_status_t status = cupsLastError();
    if (session.TimedOut() || (status > IPP_STATUS_OK_CONFLICTING && status != IPP_STATUS_ERROR_NOT_FOUND))
        session.FailLast();
}

constexpr double kPoints = 72.0 / 2540.0;  // hundredths of millimetres

// The printer's default paper with its margins for it, as the server
// describes the queue (from its PPD, or from a driverless printer itself),
// in one small request; none when it names no default paper (a raw queue).
std::optional<PaperLayout> DefaultPaperOf(http_t* http, cups_dest_t* dest)
{
    const char* uri = cupsGetOption("printer-uri-supported", dest->num_options, dest->options);
    if (!uri)
        return std::nullopt;
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    static const char* const kWanted[] = {"media-col-default", "media-default"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
    ipp_t* response = cupsDoRequest(http, request, "/");
    struct FreeResponse {
        ipp_t* r;
        ~FreeResponse() { ippDelete(r); }
    } freeResponse{response};
    if (!response)
        return std::nullopt;
    const char* media = ippGetString(ippFindAttribute(response, "media-default", IPP_TAG_ZERO), 0, nullptr);
    const pwg_media_t* pwg = media ? pwgMediaForPWG(media) : nullptr;
    PaperLayout paper = LocalePaper();
    if (pwg) {
        paper.width = pwg->width * kPoints;
        paper.height = pwg->length * kPoints;
        paper.media = pwg->pwg;
    }
    ipp_t* col = ippGetCollection(ippFindAttribute(response, "media-col-default", IPP_TAG_BEGIN_COLLECTION), 0);
    ipp_t* size = col ? ippGetCollection(ippFindAttribute(col, "media-size", IPP_TAG_BEGIN_COLLECTION), 0) : nullptr;
    const auto dimension = [](ipp_t* c, const char* name) {
        return ippGetInteger(ippFindAttribute(c, name, IPP_TAG_INTEGER), 0);
    };
    if (size && dimension(size, "x-dimension") > 0 && dimension(size, "y-dimension") > 0) {
        paper.width = dimension(size, "x-dimension") * kPoints;
        paper.height = dimension(size, "y-dimension") * kPoints;
        paper.left = dimension(col, "media-left-margin") * kPoints;
        paper.top = dimension(col, "media-top-margin") * kPoints;
        paper.right = dimension(col, "media-right-margin") * kPoints;
        paper.bottom = dimension(col, "media-bottom-margin") * kPoints;
        if (!pwg) {
            pwg = pwgMediaForSize(dimension(size, "x-dimension"), dimension(size, "y-dimension"));
            if (pwg)
                paper.media = pwg->pwg;
        }
    } else if (!pwg) {
        return std::nullopt;
    }
    return paper;
}

// The paper lp would print on, with the printer's own margins for it: the
// destination's media (lpoptions, an instance's, the queue's own default),
// else the printer's default paper (its PPD or IPP attributes); the locale's
// where neither names one. Margins come from the printer's description of
// that paper; a printer that describes none (a raw queue) gets the locale's.
// asked: a paper the user picked instead, by name.
PaperLayout PaperOf(http_t* http, cups_dest_t* dest, const std::string& asked)
{
    std::string media = asked;
    if (media.empty()) {
        if (const char* chosen = cupsGetOption("media", dest->num_options, dest->options))
            media = chosen;
    }
    // libcups itself would take Letter for a destination that names no
    // media: the printer's own default is the one CUPS prints on.
    if (media.empty())
        return DefaultPaperOf(http, dest).value_or(LocalePaper());
    const std::unique_ptr<cups_dinfo_t, InfoDeleter> info(cupsCopyDestInfo(http, dest));
    PaperLayout paper = LocalePaper();
    // By its PWG name, whichever name it was given by (as "Letter" or "A4").
    const pwg_media_t* pwg = pwgMediaForPWG(media.c_str());
    if (!pwg)
        pwg = pwgMediaForLegacy(media.c_str());
    if (!pwg)
        pwg = pwgMediaForPPD(media.c_str());
    if (pwg)
        media = pwg->pwg;
    cups_size_t size{};
    if (info && cupsGetDestMediaByName(http, dest, info.get(), media.c_str(), CUPS_MEDIA_FLAGS_DEFAULT, &size) &&
        size.width > 0 && size.length > 0) {
        return {size.width * kPoints, size.length * kPoints, size.left * kPoints, size.top * kPoints,
                size.right * kPoints, size.bottom * kPoints, size.media};
    }
    // A paper the printer does not describe: the job still asks for it by
    // its name, as lp would.
    paper.media = media;
    if (pwg) {
        paper.width = pwg->width * kPoints;
        paper.height = pwg->length * kPoints;
    }
    return paper;
}

// ---- a job: drawn into a temporary PDF, handed to the server at the end ---

class CupsJobContext final : public PrintContext {
public:
    CupsJobContext(std::chrono::milliseconds bound, DestPtr dest, PaperLayout paper, PasswordCallback password)
        : bound_(bound), dest_(std::move(dest)), paper_(paper), password_(std::move(password)), doc_(paper_)
    {
    }
    ~CupsJobContext() override { RemoveFile(); }

    int PageWidth() const override { return doc_.PageWidth(); }
    int PageHeight() const override { return doc_.PageHeight(); }
    int PixelsPerInchY() const override { return PdfDocument::kResolution; }
    PaperLayout Paper() const override { return paper_; }

    void SelectFont(const FontRequest& font) override { doc_.SelectFont(font); }
    TextMetric Metrics() override { return doc_.Metrics(); }
    TextSize Extent(std::string_view text) override { return doc_.Extent(text); }
    void TextOut(int x, int y, std::string_view text) override { doc_.TextOut(x, y, text); }
    void SetCopies(int copies) override { copies_ = copies; }

    void StartDoc(const std::string& title, ProgressCallback progress) override
    {
        title_ = title;
        progress_ = std::move(progress);
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillprint-XXXXXX.job";
        const int fd = ::mkstemps(pattern.data(), 4);
        if (fd < 0) {
            const int err = errno;
            throw EOSError(err, std::strerror(err));
        }
        path_ = pattern;
        try {
            doc_.Begin(fd);
        } catch (...) {
            RemoveFile();
            throw;
        }
    }

    void StartPage() override
    {
        if (pages_++ > 0) {
            doc_.NewPage();
            if (progress_)
                progress_();
        }
    }

    void EndPage() override {}

    void EndDoc() override
    {
        struct Remove {
            CupsJobContext& c;
            ~Remove() { c.RemoveFile(); }
        } remove{*this};
        doc_.End();
        if (progress_)
            progress_();
        Submit();
    }

private:
    void Submit()
    {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            throw EOSError(err, std::strerror(err));
        }
        struct CloseFd {
            int fd;
            ~CloseFd() { ::close(fd); }
        } closeFd{fd};

        const char* uri = cupsGetOption("printer-uri-supported", dest_->num_options, dest_->options);
        if (!uri)
            throw EPrinter(kPrinterNotValid);
        char scheme[32], user[256], host[256], resource[1024];
        int port = 0;
        httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user, host, sizeof host,
                        &port, resource, sizeof resource);

        // As lp sends it: the destination's options (an instance's too),
        // then ours.
        cups_option_t* options = nullptr;
        int count = 0;
        for (int i = 0; i < dest_->num_options; ++i)
            count = cupsAddOption(dest_->options[i].name, dest_->options[i].value, count, &options);
        if (copies_ > 1)
            count = cupsAddIntegerOption("copies", copies_, count, &options);
        // The paper the pages were laid out on (the destination's own, or
        // the one picked instead), so that nothing scales them on the way.
        if (!paper_.media.empty())
            count = cupsAddOption("media", paper_.media.c_str(), count, &options);
        ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title_.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, CUPS_FORMAT_PDF);
        cupsEncodeOptions2(request, count, options, IPP_TAG_OPERATION);
        cupsEncodeOptions2(request, count, options, IPP_TAG_JOB);
        cupsFreeOptions(count, options);
        struct FreeRequest {
            ipp_t* r;
            ~FreeRequest() { ippDelete(r); }
        } freeRequest{request};

        CupsSession session(bound_, progress_, password_);
        session.Run([&](CupsSession& s) { Send(s, request, resource, fd); });
    }

    // A server that wants the user to authenticate answers the request
    // itself; libcups then authenticates and the request goes again.
    static void Send(CupsSession& s, ipp_t* request, const char* resource, int fd)
    {
        http_t* http = s.Http();
        for (int attempt = 0;; ++attempt) {
            if (::lseek(fd, 0, SEEK_SET) < 0)
                CupsSession::FailSystem(errno);
            s.Restart();
            http_status_t status = cupsSendRequest(http, request, resource, CUPS_LENGTH_VARIABLE);
            char buffer[65536];
            while (status == HTTP_STATUS_CONTINUE) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    CupsSession::FailSystem(errno);
                if (n == 0)
                    break;
                s.Restart();
                status = cupsWriteRequestData(http, buffer, static_cast<size_t>(n));
            }
            if (status == HTTP_STATUS_CONTINUE) {
                // Held back until the server has read the rest, the end of
                // the document commits the job: a server that hangs before
                // it has taken the job prints nothing when it wakes up.
                if (httpFlushWrite(http) < 0)
                    s.FailLast();
                s.WaitUntilTaken();
            }
            if (s.TimedOut() || (status != HTTP_STATUS_CONTINUE && status != HTTP_STATUS_OK))
                s.FailLast();
            s.Restart();
            ipp_t* response = cupsGetResponse(http, resource);
            ippDelete(response);
            if (s.TimedOut())
                s.FailLast();
            if (!response && httpGetStatus(http) == HTTP_STATUS_UNAUTHORIZED && attempt < 5 &&
                cupsLastError() != IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED)
                continue;
            if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING)
                s.FailLast();
            return;
        }
    }

    void RemoveFile()
    {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            path_.clear();
        }
    }

    std::chrono::milliseconds bound_;
    DestPtr dest_;
    PaperLayout paper_;
    PasswordCallback password_;
    PdfDocument doc_;
    std::string title_;
    std::string path_;
    int pages_ = 0;
    int copies_ = 1;
    ProgressCallback progress_;
};

class CupsSpooler final : public PrintSpooler {
public:
    explicit CupsSpooler(std::chrono::milliseconds bound) : bound_(bound) {}

    std::vector<std::string> PrinterNames() override
    {
        std::vector<std::string> names;
        Session().Run([&](CupsSession& s) {
            cups_dest_t* dests = nullptr;
            const int count = cupsGetDests2(s.Http(), &dests);
            for (int i = 0; i < count; ++i)
                names.push_back(DeviceName(dests[i]));
            cupsFreeDests(count, dests);
            if (count == 0)
                CheckNotFound(s);
        });
        return names;
    }

    std::optional<std::string> DefaultPrinter() override
    {
        std::optional<std::string> name;
        std::optional<PaperLayout> paper;
        const std::string media = Media();
        justLookedUp_.reset();
        Session().Run([&](CupsSession& s) {
            // LPDEST, PRINTER, lpoptions, then the server's default.
            DestPtr dest(cupsGetNamedDest(s.Http(), nullptr, nullptr));
            if (!dest) {
                CheckNotFound(s);
                return;
            }
            name = DeviceName(*dest);
            // Its paper too, while the server is asked anyway: the job that
            // asked for the default printer needs it next.
            s.Restart();
            paper = PaperOf(s.Http(), dest.get(), media);
            if (s.TimedOut())
                s.FailLast();
            justLookedUp_ = std::move(dest);
        });
        justLookedUpPaper_ = paper;
        justLookedUpMedia_ = media;
        justLookedUpAt_ = std::chrono::steady_clock::now();
        return name;
    }

    std::unique_ptr<PrintContext> MakeContext(const std::string& device, bool) override
    {
        // Qt draws the pages, and its fonts need the GUI application.
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return nullptr;
        const std::size_t slash = device.find('/');
        const std::string name = device.substr(0, slash);
        const std::string instance = slash == std::string::npos ? std::string() : device.substr(slash + 1);
        // The default printer's description, as it was just read, serves
        // the job that asked for the default printer.
        DestPtr dest;
        std::optional<PaperLayout> paper;
        // Read here: the helper thread must not read what a handler run
        // meanwhile may change.
        const std::string media = Media();
        if (justLookedUp_ && device == DeviceName(*justLookedUp_) &&
            std::chrono::steady_clock::now() - justLookedUpAt_ < std::chrono::seconds(1)) {
            dest = std::move(justLookedUp_);
            if (justLookedUpMedia_ == media)
                paper = justLookedUpPaper_;
        }
        justLookedUp_.reset();
        justLookedUpPaper_.reset();
        if (!dest || !paper) {
            Session().Run([&](CupsSession& s) {
                if (!dest)
                    dest.reset(
                        cupsGetNamedDest(s.Http(), name.c_str(), instance.empty() ? nullptr : instance.c_str()));
                if (!dest) {
                    CheckNotFound(s);
                    return;
                }
                s.Restart();
                paper = PaperOf(s.Http(), dest.get(), media);
                if (s.TimedOut())
                    s.FailLast();
            });
        }
        if (!dest || !paper)
            return nullptr;
        return std::make_unique<CupsJobContext>(bound_, std::move(dest), *paper, Password());
    }

private:
    CupsSession Session()
    {
        return CupsSession(bound_, [this] { Waiting(); }, Password());
    }

    std::chrono::milliseconds bound_;
    DestPtr justLookedUp_;
    std::optional<PaperLayout> justLookedUpPaper_;
    std::string justLookedUpMedia_;  // the paper asked for when it was read
    std::chrono::steady_clock::time_point justLookedUpAt_;
};

} // namespace

std::unique_ptr<PrintSpooler> MakeCupsSpooler(std::chrono::milliseconds bound)
{
    return std::make_unique<CupsSpooler>(bound);
}

} // namespace printer
