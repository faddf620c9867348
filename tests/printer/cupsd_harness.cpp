#include "cupsd_harness.h"

#include <cups/cups.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testing_support {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

// Also where a PATH without the sbin folders would not look.
std::string Program(const std::string& name)
{
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string candidate = path.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    throw std::runtime_error(name + " not found (is the cups package installed?)");
}

} // namespace

void WriteFile(const std::string& path, const std::string& text, fs::perms perms)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    fs::permissions(path, perms);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {

// fork + exec with stdout/stderr into a file; the child dies with us, so a
// crashed test leaves no daemon behind.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputPath, bool newSession)
{
    const std::string program = Program(argv.at(0));
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        if (newSession)
            setsid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int null = open("/dev/null", O_RDONLY);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        if (null >= 0)
            dup2(null, 0);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    return pid;
}

bool SocketAnswers(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// Whether cupsd takes "PeerCred off" (Debian 12's security updates brought
// it), asked of cupsd -t on a trial file.
bool TakesPeerCredOff(const std::string& dir)
{
    WriteFile(dir + "/trial.conf", "Listen " + dir + "/trial.sock\n");
    WriteFile(dir + "/trial-files.conf", "ServerRoot " + dir + "\nPeerCred off\n");
    const pid_t pid = Spawn({"cupsd", "-t", "-c", dir + "/trial.conf", "-s", dir + "/trial-files.conf"},
                            dir + "/log/trial.out", false);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

PrivateCupsd::PrivateCupsd(bool authenticatePrinting, bool localCredentials)
{
    // Short base: the socket path must fit sun_path (108 bytes).
    std::string tmpl = "/tmp/qp-cupsd-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    dir_ = tmpl;
    bool peerCredOff = false;
    try {
        for (const char* sub : {"bin/backend", "spool", "cache", "state", "tmp", "jobs", "log", "client", "home"})
            fs::create_directories(dir_ + "/" + sub);
        // cupsd runs filters and backends through its own helper programs.
        fs::create_directory_symlink("/usr/lib/cups/daemon", dir_ + "/bin/daemon");
        fs::create_directory_symlink("/usr/lib/cups/filter", dir_ + "/bin/filter");
        fs::permissions(dir_, fs::perms(0755));

        static const bool takesPeerCredOff = TakesPeerCredOff(dir_);
        peerCredOff = !localCredentials && takesPeerCredOff;
        WriteFile(dir_ + "/cupsd.conf",
                  "Listen " + Socket() + "\n"
                  "LogLevel info\n"
                  "WebInterface No\n"
                  "Browsing No\n"
                  "DefaultAuthType " + std::string(authenticatePrinting ? "Basic" : "None") + "\n"
                  "MaxJobs 0\n"
                  "PreserveJobHistory No\n"
                  "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                  "<Policy default>\n"
                  "  JobPrivateAccess all\n  JobPrivateValues none\n"
                  "  SubscriptionPrivateAccess all\n  SubscriptionPrivateValues none\n"
                  + std::string(authenticatePrinting
                                    ? "  <Limit Print-Job Create-Job Send-Document>\n    AuthType Default\n"
                                      "    Require valid-user\n    Order deny,allow\n    Allow all\n  </Limit>\n"
                                    : "") +
                  "  <Limit All>\n    Order deny,allow\n    Allow all\n  </Limit>\n"
                  "</Policy>\n");
        WriteFile(dir_ + "/cups-files.conf",
                  "ServerRoot " + dir_ + "\n"
                  "RequestRoot " + dir_ + "/spool\n"
                  "CacheDir " + dir_ + "/cache\n"
                  "StateDir " + dir_ + "/state\n"
                  "TempDir " + dir_ + "/tmp\n"
                  "ServerBin " + dir_ + "/bin\n"
                  "AccessLog " + dir_ + "/log/access_log\n"
                  "ErrorLog " + dir_ + "/log/error_log\n"
                  "PageLog " + dir_ + "/log/page_log\n"
                  "Printcap " + dir_ + "/printcap\n"
                  "SystemGroup root\n" +
                  std::string(peerCredOff ? "PeerCred off\n" : ""));
        // Mode 0700: cupsd runs such a backend as root, so it may write here.
        WriteFile(dir_ + "/bin/backend/qpjob",
                  "#!/bin/sh\n"
                  "if [ $# -eq 0 ]; then echo 'direct qpjob \"Unknown\" \"Quillprint test\"'; exit 0; fi\n"
                  "out='" + JobsDir() + "'\n"
                  "printf '%s' \"$3\" > \"$out/$1.title\" || exit 1\n"
                  "printf '%s' \"$PRINTER\" > \"$out/$1.queue\" || exit 1\n"
                  "printf '%s' \"$4\" > \"$out/$1.copies\" || exit 1\n"
                  "if [ -n \"$6\" ]; then exec cp \"$6\" \"$out/$1.job\"; else exec cat > \"$out/$1.job\"; fi\n",
                  fs::perms(0700));

        pid_ = Spawn({"cupsd", "-F", "-c", dir_ + "/cupsd.conf", "-s", dir_ + "/cups-files.conf"},
                     dir_ + "/log/cupsd.out", true);
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (!SocketAnswers(Socket())) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("cupsd exited at start: " + ReadFile(dir_ + "/log/cupsd.out") +
                                         ReadFile(dir_ + "/log/error_log"));
            }
            if (Clock::now() > deadline)
                throw std::runtime_error("cupsd did not come up");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } catch (...) {
        Stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
        throw;
    }

    setenv("CUPS_SERVER", Socket().c_str(), 1);
    setenv("CUPS_SERVERROOT", (dir_ + "/client").c_str(), 1);
    setenv("CUPS_STATEDIR", (dir_ + (localCredentials ? "/state" : "/client")).c_str(), 1);
    setenv("HOME", (dir_ + "/home").c_str(), 1);  // no ~/.cups/lpoptions of the user
    // A cupsd without the directive lets in whoever offers the peer
    // credentials of its socket; libcups offers none as a CGI program.
    if (!localCredentials && !peerCredOff)
        setenv("GATEWAY_INTERFACE", "CGI/1.1", 1);
    else
        unsetenv("GATEWAY_INTERFACE");
    unsetenv("LPDEST");
    unsetenv("PRINTER");
    cupsSetServer(nullptr);  // forget a server read earlier in this process
}

PrivateCupsd::~PrivateCupsd()
{
    Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void PrivateCupsd::Stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD))
            break;
        if (Clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

void PrivateCupsd::Hang()
{
    kill(pid_, SIGSTOP);
}

void PrivateCupsd::Resume()
{
    kill(pid_, SIGCONT);
}

void PrivateCupsd::Run(const std::vector<std::string>& argv)
{
    const std::string out = dir_ + "/log/command.out";
    fs::remove(out);
    setenv("CUPS_SERVER", Socket().c_str(), 1);
    const pid_t pid = Spawn(argv, out, false);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string cmd;
        for (const std::string& a : argv)
            cmd += a + " ";
        throw std::runtime_error(cmd + "failed: " + ReadFile(out));
    }
}

void PrivateCupsd::AddQueue(const std::string& name)
{
    Run({"lpadmin", "-p", name, "-E", "-v", "qpjob:/" + name});
}

void PrivateCupsd::RemoveQueue(const std::string& name)
{
    Run({"lpadmin", "-x", name});
}

void PrivateCupsd::SetDefault(const std::string& name)
{
    Run({"lpadmin", "-d", name});
}

void PrivateCupsd::Reject(const std::string& name)
{
    Run({"cupsreject", name});
}

void PrivateCupsd::Accept(const std::string& name)
{
    Run({"cupsaccept", name});
}

std::vector<StoredJob> PrivateCupsd::FinishedJobs(double timeoutSeconds)
{
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        http_t* http = httpConnect2(Socket().c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                                    30000, nullptr);
        if (!http)
            throw std::runtime_error("cannot reach the private cupsd");
        cups_job_t* jobs = nullptr;
        const int active = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ACTIVE);
        cupsFreeJobs(active, jobs);
        httpClose(http);
        if (active == 0)
            break;
        if (Clock::now() > deadline)
            throw std::runtime_error("jobs still pending");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<StoredJob> stored;
    for (const fs::directory_entry& e : fs::directory_iterator(JobsDir())) {
        const std::string name = e.path().filename().string();
        if (name.size() > 4 && name.ends_with(".job")) {
            StoredJob job;
            job.id = std::stoi(name.substr(0, name.size() - 4));
            job.path = e.path().string();
            job.title = ReadFile(JobsDir() + "/" + std::to_string(job.id) + ".title");
            job.queue = ReadFile(JobsDir() + "/" + std::to_string(job.id) + ".queue");
            job.copies = std::atoi(ReadFile(JobsDir() + "/" + std::to_string(job.id) + ".copies").c_str());
            stored.push_back(job);
        }
    }
    std::sort(stored.begin(), stored.end(), [](const StoredJob& a, const StoredJob& b) { return a.id < b.id; });
    return stored;
}

void PrivateCupsd::ClearJobs()
{
    for (const fs::directory_entry& e : fs::directory_iterator(JobsDir()))
        fs::remove(e.path());
}

std::vector<std::vector<std::string>> JobPages(const std::string& path, double left, double top,
                                               double width, double height)
{
    char outTmpl[] = "/tmp/qp-pdftext-XXXXXX";
    const int fd = mkstemp(outTmpl);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    auto num = [](double v) {
        std::ostringstream s;
        s << static_cast<long>(v + 0.5);
        return s.str();
    };
    const std::vector<std::string> argv = {"pdftotext", "-layout", "-fixed", "7.2",
                                           "-x", num(left), "-y", num(top), "-W", num(width),
                                           "-H", num(height), path, outTmpl};
    const pid_t pid = Spawn(argv, "/dev/null", false);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const std::string text = ReadFile(outTmpl);
    unlink(outTmpl);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("pdftotext failed on " + path);

    // Pages end with a form feed; trailing blank lines of a page carry no text.
    std::vector<std::vector<std::string>> pages;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\f', start);
        if (end == std::string::npos)
            end = text.size();
        std::vector<std::string> lines;
        std::istringstream in(text.substr(start, end - start));
        std::string line;
        while (std::getline(in, line)) {
            line.erase(line.find_last_not_of(' ') + 1);
            lines.push_back(line);
        }
        while (!lines.empty() && lines.back().empty())
            lines.pop_back();
        pages.push_back(lines);
        start = end + 1;
    }
    return pages;
}

} // namespace testing_support

namespace testing_support {

pid_t StartHelper(const std::vector<std::string>& argv, const std::string& outputPath)
{
    return Spawn(argv, outputPath, true);
}

void StopHelper(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (int status = 0;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return;
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace testing_support
