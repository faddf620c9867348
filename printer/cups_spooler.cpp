#include "printer/cups_spooler.h"

#include "printer/errors.h"
#include "printer/pdf_document.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cups/cups.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <strings.h>
#include <unistd.h>

namespace printer {
namespace {

using Clock = std::chrono::steady_clock;

std::string Tr(const char* text)
{
    return QCoreApplication::translate("printer", text).toStdString();
}

std::string Fill(std::string format, const std::string& arg)
{
    const std::size_t at = format.find("%1");
    if (at != std::string::npos)
        format.replace(at, 2, arg);
    return format;
}

struct IppDeleter {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppPtr = std::unique_ptr<ipp_t, IppDeleter>;

// ---- lpoptions: the user's and the system's default printer and options ----

struct Lpoptions {
    std::optional<std::string> defaultDest;
    std::map<std::string, std::string> options;  // by name[/instance]
};

void ReadLpoptionsFile(const std::string& path, Lpoptions& into)
{
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string keyword, name;
        if (!(words >> keyword >> name))
            continue;
        const bool isDefault = strcasecmp(keyword.c_str(), "Default") == 0;
        if (!isDefault && strcasecmp(keyword.c_str(), "Dest") != 0)
            continue;
        std::string rest;
        std::getline(words, rest);
        into.options[name] = rest;
        if (isDefault)
            into.defaultDest = name;
    }
}

Lpoptions ReadLpoptions()
{
    Lpoptions lp;
    const char* root = std::getenv("CUPS_SERVERROOT");
    ReadLpoptionsFile(std::string(root && *root ? root : "/etc/cups") + "/lpoptions", lp);
    if (const char* home = std::getenv("HOME"); home && *home)
        ReadLpoptionsFile(std::string(home) + "/.cups/lpoptions", lp);
    return lp;
}

std::optional<std::string> LocalDefault()
{
    if (const char* d = std::getenv("LPDEST"); d && *d)
        return std::string(d);
    if (const char* d = std::getenv("PRINTER"); d && *d && std::strcmp(d, "lp") != 0)
        return std::string(d);
    return ReadLpoptions().defaultDest;
}

std::string BaseName(const std::string& device)
{
    return device.substr(0, device.find('/'));
}

// ---- one connection to the print server, every wait bounded ---------------

class ServerSession {
public:
    ServerSession(std::chrono::milliseconds bound, ProgressCallback progress)
        : bound_(bound), progress_(std::move(progress)), server_(cupsServer())
    {
        http_ = Connect();
        if (!http_)
            throw EOSError(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE,
                           Fill(Tr(QT_TRANSLATE_NOOP("printer", "The print server %1 cannot be reached.")), server_));
        // Short slices: between them the window gets its turn.
        httpSetTimeout(http_, 0.02, &ServerSession::OnWait, this);
    }
    ~ServerSession() { httpClose(http_); }
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Sends the request (with the document read from documentFd, if given)
    // and returns the server's answer. IPP errors are the caller's to judge;
    // a connection that fails or falls silent throws EOSError.
    IppPtr Exchange(ipp_t* requestIn, const std::string& resource, int documentFd = -1)
    {
        IppPtr request(requestIn);
        Restart();
        httpClearFields(http_);
        httpSetField(http_, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
        httpSetLength(http_, documentFd >= 0 ? 0 : ippLength(request.get()));  // 0: chunked
        if (httpPost(http_, resource.c_str()) != 0)
            Fail();
        ippSetState(request.get(), IPP_STATE_IDLE);
        for (ipp_state_t state; (state = ippWrite(http_, request.get())) != IPP_STATE_DATA;)
            if (state == IPP_STATE_ERROR)
                Fail();
        if (documentFd >= 0) {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::read(documentFd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    const int err = errno;
                    throw EOSError(err, std::strerror(err));
                }
                if (n == 0)
                    break;
                Restart();
                if (httpWrite2(http_, buffer, static_cast<size_t>(n)) < n)
                    Fail();
            }
            Restart();
            if (httpFlushWrite(http_) < 0)
                Fail();
            WaitUntilTaken();
            if (httpWrite2(http_, "", 0) < 0)
                Fail();
        }
        Restart();
        http_status_t status;
        do
            status = httpUpdate(http_);
        while (status == HTTP_STATUS_CONTINUE && !timedOut_);
        if (timedOut_ || status == HTTP_STATUS_ERROR)
            Fail();
        if (status != HTTP_STATUS_OK) {
            httpFlush(http_);
            throw EOSError(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE,
                           std::string(httpStatus(status)) + " (" + server_ + ")");
        }
        IppPtr response(ippNew());
        Restart();
        for (ipp_state_t state; (state = ippRead(http_, response.get())) != IPP_STATE_DATA;)
            if (state == IPP_STATE_ERROR)
                Fail();
        return response;
    }

private:
    static int OnWait(http_t*, void* data)
    {
        auto* self = static_cast<ServerSession*>(data);
        self->Progress();
        if (Clock::now() < self->deadline_)
            return 1;
        self->timedOut_ = true;
        return 0;
    }

    void Restart() { deadline_ = Clock::now() + bound_; }

    // A local socket answers at once; a remote server may stay silent, so
    // a helper thread waits for it while the window goes on here.
    http_t* Connect()
    {
        const int msec = static_cast<int>(bound_.count());
        if (!server_.empty() && server_[0] == '/')
            return httpConnect2(server_.c_str(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, msec, nullptr);
        struct Attempt {
            std::atomic<bool> done{false};
            int cancel = 0;
            http_t* http = nullptr;
        };
        auto attempt = std::make_shared<Attempt>();
        // Its own limit lies beyond the bound: the bound decides here.
        std::thread worker([attempt, host = server_, port = ippPort(), encryption = cupsEncryption(), msec] {
            attempt->http =
                httpConnect2(host.c_str(), port, nullptr, AF_UNSPEC, encryption, 1, 2 * msec, &attempt->cancel);
            attempt->done = true;
        });
        Restart();
        while (!attempt->done && Clock::now() < deadline_) {
            Progress();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!attempt->done) {
            attempt->cancel = 1;  // libcups gives up within a quarter second
            timedOut_ = true;
        }
        worker.join();
        if (timedOut_) {
            if (attempt->http)
                httpClose(attempt->http);
            Fail();
        }
        return attempt->http;
    }

    // The time the window's handlers take (an error box left open, say) is
    // not the server's silence.
    void Progress()
    {
        if (!progress_)
            return;
        const Clock::time_point before = Clock::now();
        progress_();
        deadline_ += Clock::now() - before;
    }

    // Until the server has read every byte sent so far. Held back until
    // then, the end of the document commits the job: a server that hangs
    // before it has taken the job prints nothing when it wakes up.
    void WaitUntilTaken()
    {
        for (;;) {
            int unread = 0;
            if (::ioctl(httpGetFd(http_), SIOCOUTQ, &unread) != 0 || unread == 0)
                return;
            Progress();
            if (Clock::now() >= deadline_) {
                timedOut_ = true;
                Fail();
            }
            ::usleep(2000);
        }
    }

    [[noreturn]] void Fail()
    {
        if (timedOut_) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bound_).count();
            throw EOSError(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE,
                           Fill(Fill(Tr(QT_TRANSLATE_NOOP("printer", "The print server %1 did not answer within %2 s.")), server_),
                                std::to_string(std::max<long long>(1, seconds))));
        }
        const int err = httpError(http_);
        throw EOSError(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE,
                       Fill(Tr(QT_TRANSLATE_NOOP("printer", "The print server %1 cannot be reached.")), server_) +
                           (err ? std::string(" ") + std::strerror(err) : std::string()));
    }

    std::chrono::milliseconds bound_;
    ProgressCallback progress_;
    std::string server_;
    http_t* http_ = nullptr;
    Clock::time_point deadline_;
    bool timedOut_ = false;
};

ipp_t* NewRequest(ipp_op_t op, const std::string& printerUri = {})
{
    ipp_t* request = ippNewRequest(op);
    if (!printerUri.empty())
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
}

std::string PrinterUri(const std::string& kind, const std::string& name)
{
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/%s/%s",
                     kind.c_str(), name.c_str());
    return uri;
}

[[noreturn]] void ThrowIppError(ipp_t* response)
{
    const ipp_status_t status = ippGetStatusCode(response);
    ipp_attribute_t* message = ippFindAttribute(response, "status-message", IPP_TAG_TEXT);
    throw EOSError(static_cast<int>(status),
                   message ? ippGetString(message, 0, nullptr) : ippErrorString(status));
}

bool Failed(ipp_t* response)
{
    return ippGetStatusCode(response) > IPP_STATUS_OK_CONFLICTING;
}

// The default paper of a printer, from its IPP description; the locale's
// when the printer describes none (a raw queue).
PaperLayout PaperOf(ipp_t* response)
{
    constexpr double kPoints = 72.0 / 2540.0;  // hundredths of millimetres
    if (ipp_attribute_t* col = ippFindAttribute(response, "media-col-default", IPP_TAG_BEGIN_COLLECTION)) {
        ipp_t* media = ippGetCollection(col, 0);
        ipp_attribute_t* sizeAttr = ippFindAttribute(media, "media-size", IPP_TAG_BEGIN_COLLECTION);
        ipp_t* size = sizeAttr ? ippGetCollection(sizeAttr, 0) : nullptr;
        auto number = [](ipp_t* in, const char* name) {
            ipp_attribute_t* a = in ? ippFindAttribute(in, name, IPP_TAG_INTEGER) : nullptr;
            return a ? ippGetInteger(a, 0) : -1;
        };
        const int x = number(size, "x-dimension"), y = number(size, "y-dimension");
        if (x > 0 && y > 0) {
            auto margin = [&](const char* name) { return std::max(0, number(media, name)) * kPoints; };
            return {x * kPoints, y * kPoints, margin("media-left-margin"), margin("media-top-margin"),
                    margin("media-right-margin"), margin("media-bottom-margin")};
        }
    }
    if (ipp_attribute_t* name = ippFindAttribute(response, "media-default", IPP_TAG_ZERO)) {
        if (pwg_media_t* pwg = pwgMediaForPWG(ippGetString(name, 0, nullptr))) {
            PaperLayout paper = LocalePaper();
            paper.width = pwg->width * kPoints;
            paper.height = pwg->length * kPoints;
            return paper;
        }
    }
    return LocalePaper();
}

struct Destination {
    std::string uri;       // the printer's (or class's) IPP address on the server
    std::string resource;  // where its jobs are posted
    PaperLayout paper;
};

// ---- a job: drawn into a temporary PDF, handed to the server at the end ---

class CupsJobContext final : public PrintContext {
public:
    CupsJobContext(std::chrono::milliseconds bound, Destination dest, std::string options)
        : bound_(bound), dest_(std::move(dest)), options_(std::move(options)), doc_(dest_.paper)
    {
    }
    ~CupsJobContext() override { RemoveFile(); }

    int PageWidth() const override { return doc_.PageWidth(); }
    int PageHeight() const override { return doc_.PageHeight(); }
    int PixelsPerInchY() const override { return PdfDocument::kResolution; }
    PaperLayout Paper() const override { return dest_.paper; }

    void SelectFont(const FontRequest& font) override { doc_.SelectFont(font); }
    TextMetric Metrics() override { return doc_.Metrics(); }
    TextSize Extent(std::string_view text) override { return doc_.Extent(text); }
    void TextOut(int x, int y, std::string_view text) override { doc_.TextOut(x, y, text); }

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

        ipp_t* request = NewRequest(IPP_OP_PRINT_JOB, dest_.uri);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title_.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     CUPS_FORMAT_PDF);
        cups_option_t* options = nullptr;
        const int count = cupsParseOptions(options_.c_str(), 0, &options);
        cupsEncodeOptions2(request, count, options, IPP_TAG_OPERATION);
        cupsEncodeOptions2(request, count, options, IPP_TAG_JOB);
        cupsFreeOptions(count, options);

        ServerSession session(bound_, progress_);
        const IppPtr response = session.Exchange(request, dest_.resource, fd);
        if (Failed(response.get()))
            ThrowIppError(response.get());
    }

    void RemoveFile()
    {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            path_.clear();
        }
    }

    std::chrono::milliseconds bound_;
    Destination dest_;
    std::string options_;
    PdfDocument doc_;
    std::string title_;
    std::string path_;
    int pages_ = 0;
    ProgressCallback progress_;
};

class CupsSpooler final : public PrintSpooler {
public:
    explicit CupsSpooler(std::chrono::milliseconds bound) : bound_(bound) {}

    std::vector<std::string> PrinterNames() override
    {
        ipp_t* request = NewRequest(CUPS_GET_PRINTERS);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                     "printer-name");
        ServerSession session(bound_, [this] { Waiting(); });
        const IppPtr response = session.Exchange(request, "/");
        std::vector<std::string> names;
        if (Failed(response.get())) {
            if (ippGetStatusCode(response.get()) == IPP_STATUS_ERROR_NOT_FOUND)
                return names;  // no printers at all
            ThrowIppError(response.get());
        }
        for (ipp_attribute_t* a = ippFirstAttribute(response.get()); a; a = ippNextAttribute(response.get()))
            if (ippGetName(a) && std::strcmp(ippGetName(a), "printer-name") == 0)
                names.emplace_back(ippGetString(a, 0, nullptr));
        // Instances of the user's (name/instance) are printers of their own.
        for (const auto& [dest, options] : ReadLpoptions().options) {
            const std::string base = BaseName(dest);
            if (dest != base && std::find(names.begin(), names.end(), base) != names.end())
                names.push_back(dest);
        }
        return names;
    }

    std::optional<std::string> DefaultPrinter() override
    {
        if (std::optional<std::string> local = LocalDefault())
            return local;
        ipp_t* request = NewRequest(CUPS_GET_DEFAULT);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                     "printer-name");
        ServerSession session(bound_, [this] { Waiting(); });
        const IppPtr response = session.Exchange(request, "/");
        if (ippGetStatusCode(response.get()) == IPP_STATUS_ERROR_NOT_FOUND)
            return std::nullopt;
        if (Failed(response.get()))
            ThrowIppError(response.get());
        ipp_attribute_t* name = ippFindAttribute(response.get(), "printer-name", IPP_TAG_NAME);
        if (!name)
            return std::nullopt;
        return std::string(ippGetString(name, 0, nullptr));
    }

    std::unique_ptr<PrintContext> MakeContext(const std::string& device, bool) override
    {
        // Qt draws the pages, and its fonts need the GUI application.
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return nullptr;
        std::optional<Destination> dest = Describe(device);
        if (!dest)
            return nullptr;
        const Lpoptions lp = ReadLpoptions();
        const auto options = lp.options.find(device);
        return std::make_unique<CupsJobContext>(bound_, std::move(*dest),
                                                options == lp.options.end() ? std::string() : options->second);
    }

private:
    // The printer (or class) as the server describes it; none when the server
    // does not know it.
    std::optional<Destination> Describe(const std::string& device)
    {
        const std::string name = BaseName(device);
        ServerSession session(bound_, [this] { Waiting(); });
        for (const char* kind : {"printers", "classes"}) {
            const std::string uri = PrinterUri(kind, name);
            ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, uri);
            static const char* const kWanted[] = {"media-col-default", "media-default"};
            ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                          kWanted);
            const IppPtr response = session.Exchange(request, "/");
            if (ippGetStatusCode(response.get()) == IPP_STATUS_ERROR_NOT_FOUND)
                continue;
            if (Failed(response.get()))
                ThrowIppError(response.get());
            return Destination{uri, "/" + std::string(kind) + "/" + name, PaperOf(response.get())};
        }
        return std::nullopt;
    }

    std::chrono::milliseconds bound_;
};

} // namespace

std::unique_ptr<PrintSpooler> MakeCupsSpooler(std::chrono::milliseconds bound)
{
    return std::make_unique<CupsSpooler>(bound);
}

} // namespace printer
