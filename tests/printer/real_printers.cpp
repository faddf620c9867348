#include "real_printers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

void Write(const std::string& path, const std::string& text, fs::perms perms = fs::perms(0644))
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    fs::permissions(path, perms);
}

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Connects(const sockaddr* address, socklen_t length)
{
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = ::connect(fd, address, length) == 0;
    ::close(fd);
    return ok;
}

sockaddr_in Loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A loopback port nobody uses now.
int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error(std::string("no free port: ") + std::strerror(errno));
    ::close(fd);
    return ntohs(addr.sin_port);
}

// Waits until ready() holds, the helper still runs, and 30 s have not passed.
void AwaitHelper(pid_t pid, const std::string& what, const std::string& log, const std::function<bool()>& ready)
{
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!ready()) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            throw std::runtime_error(what + " exited at start: " + Read(log));
        if (Clock::now() > deadline)
            throw std::runtime_error(what + " did not come up: " + Read(log));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> FilesIn(const std::string& folder, const std::string& extension)
{
    std::vector<std::pair<fs::file_time_type, std::string>> files;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec))
        if (e.is_regular_file() && e.path().extension() == extension)
            files.emplace_back(e.last_write_time(), e.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> paths;
    for (auto& f : files)
        paths.push_back(std::move(f.second));
    return paths;
}

// Its standard output, and its error output too unless that goes to /dev/null.
std::string CommandOutput(const std::string& command, int* status = nullptr, bool errors = true)
{
    std::string out;
    FILE* pipe = ::popen((command + (errors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int rc = ::pclose(pipe);
    if (status)
        *status = rc;
    return out;
}

constexpr const char* kCupsPdfBackend = "/usr/lib/cups/backend/cups-pdf";
constexpr const char* kCupsPdfSettings = "/etc/cups/cups-pdf.conf";
constexpr const char* kCupsPdfPpd = "/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd";

// Filters run as the server's unprivileged user and write into its TempDir.
void LetFiltersRun(PrivateCupsd& cupsd)
{
    fs::permissions(cupsd.Dir() + "/tmp", fs::perms(01777));
}

} // namespace

// ---- ippeveprinter ------------------------------------------------------------

SimulatedPrinter::SimulatedPrinter(PrivateCupsd& cupsd, const std::string& name, const std::string& attributes)
    : cupsd_(cupsd), dir_(cupsd.Dir() + "/printer-" + name)
{
    fs::create_directories(dir_ + "/received");
    LetFiltersRun(cupsd);
    // The server's jobs reach the printer through CUPS's own IPP backend.
    const std::string ipp = cupsd.Dir() + "/bin/backend/ipp";
    if (!fs::exists(fs::symlink_status(ipp)))
        fs::create_symlink("/usr/lib/cups/backend/ipp", ipp);
    try {
        // ippeveprinter asks the DNS-SD library for a client even with
        // DNS-SD off; it gets a bus of its own, with nothing on it.
        const std::string bus = dir_ + "/bus";
        bus_ = StartHelper({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + bus},
                           dir_ + "/bus.log");
        sockaddr_un busAddr{};
        busAddr.sun_family = AF_UNIX;
        std::strncpy(busAddr.sun_path, bus.c_str(), sizeof busAddr.sun_path - 1);
        AwaitHelper(bus_, "dbus-daemon", dir_ + "/bus.log",
                    [&] { return Connects(reinterpret_cast<sockaddr*>(&busAddr), sizeof busAddr); });

        port_ = FreePort();
        std::vector<std::string> argv = {"env",  "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + bus,
                                         "ippeveprinter", "-r", "off", "-n", "localhost", "-p",
                                         std::to_string(port_), "-k", "-d", dir_ + "/received",
                                         // Each job is done at once, not after a pretended print time.
                                         "-c", "/bin/true"};
        if (attributes.empty()) {
            argv.insert(argv.end(), {"-f", "application/pdf,image/pwg-raster"});
        } else {
            Write(dir_ + "/attributes.conf", attributes);
            argv.insert(argv.end(), {"-a", dir_ + "/attributes.conf"});
        }
        argv.push_back(name);
        pid_ = StartHelper(argv, dir_ + "/printer.log");
        const sockaddr_in addr = Loopback(port_);
        AwaitHelper(pid_, "ippeveprinter", dir_ + "/printer.log",
                    [&] { return Connects(reinterpret_cast<const sockaddr*>(&addr), sizeof addr); });
    } catch (...) {
        StopHelper(pid_);
        StopHelper(bus_);
        throw;
    }
}

SimulatedPrinter::~SimulatedPrinter()
{
    StopHelper(pid_);
    StopHelper(bus_);
}

std::string SimulatedPrinter::Uri() const
{
    return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/print";
}

void SimulatedPrinter::AddQueue(const std::string& queue)
{
    cupsd_.Run({"lpadmin", "-p", queue, "-E", "-v", Uri(), "-m", "everywhere"});
}

std::vector<std::string> SimulatedPrinter::Received(double timeoutSeconds)
{
    cupsd_.FinishedJobs(timeoutSeconds);
    return FilesIn(dir_ + "/received", ".pdf");
}

void SimulatedPrinter::ClearReceived()
{
    for (const fs::directory_entry& e : fs::directory_iterator(dir_ + "/received"))
        fs::remove(e.path());
}

// ---- cups-pdf ---------------------------------------------------------------------

std::string CupsPdfUnavailable()
{
    if (::geteuid() != 0)
        return "cups-pdf runs only as root";
    for (const char* path : {kCupsPdfBackend, kCupsPdfSettings, kCupsPdfPpd})
        if (!fs::exists(path))
            return std::string(path) + " is missing (printer-driver-cups-pdf)";
    int status = 0;
    const std::string out = CommandOutput("unshare --mount --propagation private true", &status);
    if (status != 0)
        return "no mount namespace for cups-pdf's settings: " + out;
    return {};
}

std::string AddCupsPdfQueue(PrivateCupsd& cupsd, const std::string& queue)
{
    LetFiltersRun(cupsd);
    const std::string base = cupsd.Dir() + "/cups-pdf-" + queue;
    const std::string out = base + "/out";
    for (const char* sub : {"/out", "/spool", "/anonymous", "/tmp", "/log"})
        fs::create_directories(base + sub);
    // Everything cups-pdf writes stays in the server's folder: never the
    // user's ~/PDF, never /var/spool.
    Write(base + "/cups-pdf.conf",
          "Out " + out + "\n"
          "AnonDirName " + base + "/anonymous\n"
          "Spool " + base + "/spool\n"
          "Log " + base + "/log\n"
          "GSTmp " + base + "/tmp\n"
          "Grp root\n"
          "Label 1\n"
          "LogType 3\n");
    // cupsd runs a backend of mode 0700 as root. cups-pdf reads its settings
    // from one fixed path, so the job's backend gets ours bound over it in a
    // mount namespace of its own; the machine's file is never touched.
    Write(cupsd.Dir() + "/bin/backend/cups-pdf",
          "#!/bin/sh\n"
          "exec unshare --mount --propagation private /bin/sh -c "
          "'mount --bind \"$0\" " + std::string(kCupsPdfSettings) + " && exec " + kCupsPdfBackend + " \"$@\"' '" +
              base + "/cups-pdf.conf' \"$@\"\n",
          fs::perms(0700));
    cupsd.Run({"lpadmin", "-p", queue, "-E", "-v", "cups-pdf:/", "-P", kCupsPdfPpd});
    return out;
}

std::vector<std::string> PdfFilesIn(const std::string& folder)
{
    return FilesIn(folder, ".pdf");
}

// ---- what a PDF shows ---------------------------------------------------------------

std::vector<WordBox> FirstPageWords(const std::string& pdf)
{
    int status = 0;
    const std::string html = CommandOutput("pdftotext -bbox -f 1 -l 1 '" + pdf + "' -", &status);
    if (status != 0)
        throw std::runtime_error("pdftotext failed on " + pdf + ": " + html);
    const std::regex page(R"re(<page width="([0-9.]+)" height="([0-9.]+)">)re");
    const std::regex word(
        R"re(<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="([0-9.]+)" yMax="([0-9.]+)">([^<]*)</word>)re");
    std::smatch m;
    if (!std::regex_search(html, m, page))
        throw std::runtime_error("no page in " + pdf);
    const double width = std::stod(m[1]), height = std::stod(m[2]);
    std::vector<WordBox> words;
    for (auto it = std::sregex_iterator(html.begin(), html.end(), word); it != std::sregex_iterator(); ++it) {
        const std::smatch& w = *it;
        words.push_back({w[5], std::stod(w[1]), std::stod(w[2]), std::stod(w[3]), std::stod(w[4]), width, height});
    }
    return words;
}

InkBox FirstPageInk(const std::string& pdf)
{
    constexpr int kDpi = 144;
    int status = 0;
    const std::string pgm = CommandOutput("pdftoppm -r " + std::to_string(kDpi) + " -gray -f 1 -l 1 '" + pdf + "'",
                                          &status, false);
    // Binary greymap: "P5 <width> <height> <max>" and one byte per pixel.
    std::istringstream header(pgm);
    std::string magic;
    int width = 0, height = 0, max = 0;
    header >> magic >> width >> height >> max;
    const std::size_t start = static_cast<std::size_t>(header.tellg()) + 1;
    if (status != 0 || magic != "P5" || max != 255 || pgm.size() < start + std::size_t(width) * height)
        throw std::runtime_error("pdftoppm failed on " + pdf);
    InkBox box;
    int minX = width, minY = height, maxX = -1, maxY = -1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (static_cast<unsigned char>(pgm[start + std::size_t(y) * width + x]) < 128) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
            }
    if (maxX < 0)
        return box;
    const double pt = 72.0 / kDpi;
    return {minX * pt, minY * pt, (maxX + 1) * pt, (maxY + 1) * pt, false};
}

} // namespace testing_support
