// The simulated clock's line (a pty of its own or a serial device) and the
// figures it reports.

#include "clock_sim.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

namespace clocksim {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd, const std::string& what)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        ThrowErrno(what);
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        ThrowErrno(what);
}

} // namespace

// --- the line -------------------------------------------------------------

Line Line::CreatePty()
{
    Line line;
    line.kind_ = Kind::Pty;
    line.fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd_ < 0)
        ThrowErrno("posix_openpt");
    char name[128];
    if (::grantpt(line.fd_) != 0 || ::unlockpt(line.fd_) != 0 ||
        ::ptsname_r(line.fd_, name, sizeof name) != 0)
        ThrowErrno("pseudo-terminal setup");
    line.path_ = name;
    // Raw before the peer comes, so nothing it does first can echo our bytes
    // back or translate them. Opening and closing the slave once also makes
    // the master report a hang-up until someone opens it again; a slave that
    // was never opened reports nothing.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        ThrowErrno(std::string("open ") + name);
    try {
        MakeRaw(slave, "raw mode on the pseudo-terminal");
    } catch (...) {
        ::close(slave);
        throw;
    }
    ::close(slave);
    // Every open of the slave, also one that a close follows at once, shows
    // up here; without it only the hang-up level tells.
    line.watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (line.watchFd_ >= 0 && ::inotify_add_watch(line.watchFd_, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(line.watchFd_);
        line.watchFd_ = -1;
    }
    return line;
}

Line Line::OpenDevice(const std::string& path)
{
    Line line;
    line.kind_ = Kind::Device;
    line.path_ = path;
    line.fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.fd_ < 0)
        ThrowErrno("open " + path);
    if (!::isatty(line.fd_)) {
        errno = ENOTTY;
        ThrowErrno(path);
    }
    MakeRaw(line.fd_, "line settings of " + path);
    ::tcflush(line.fd_, TCIOFLUSH);
    return line;
}

Line::Line(Line&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), watchFd_(std::exchange(other.watchFd_, -1)),
      kind_(other.kind_), path_(std::move(other.path_))
{
}

Line& Line::operator=(Line&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        watchFd_ = std::exchange(other.watchFd_, -1);
        kind_ = other.kind_;
        path_ = std::move(other.path_);
    }
    return *this;
}

Line::~Line() { Close(); }

void Line::Close()
{
    if (watchFd_ >= 0)
        ::close(watchFd_);
    if (fd_ >= 0)
        ::close(fd_);
    watchFd_ = fd_ = -1;
}

// --- figures ----------------------------------------------------------------

double Median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    rank = std::clamp<std::size_t>(rank, 1, v.size());
    return v[rank - 1];
}

std::vector<std::string> FormatStats(const Stats& s)
{
    auto count = [](const char* name, long v, const char* unit) {
        return std::string(name) + ": " + std::to_string(v) + " " + unit;
    };
    auto ms = [](const char* name, double v) {
        char buf[64];
        if (std::isnan(v))
            std::snprintf(buf, sizeof buf, "%s: n/a ms", name);
        else
            std::snprintf(buf, sizeof buf, "%s: %.3f ms", name, v);
        return std::string(buf);
    };
    return {
        count("frames_sent", s.framesSent, "frames"),
        count("frames_resent", s.framesResent, "frames"),
        count("frames_corrupted", s.framesCorrupted, "frames"),
        count("frames_given_up", s.framesGivenUp, "frames"),
        count("frame_writes", s.writes, "writes"),
        count("acks_received", s.acksReceived, "acks"),
        count("acks_wrong", s.acksWrong, "acks"),
        count("acks_unexpected", s.acksUnexpected, "acks"),
        count("ack_timeouts", s.ackTimeouts, "timeouts"),
        count("probes_answered", s.probesAnswered, "probes"),
        count("other_frames_received", s.otherFrames, "frames"),
        count("stray_bytes_received", s.strayBytes, "bytes"),
        count("lines_played", s.linesPlayed, "lines"),
        count("printouts_completed", s.printoutsCompleted, "printouts"),
        count("printouts_interrupted", s.printoutsInterrupted, "printouts"),
        count("line_opens", s.peerOpens, "opens"),
        ms("ack_latency_ms_median", Median(s.ackLatenciesMs)),
        ms("ack_latency_ms_p99", Percentile(s.ackLatenciesMs, 99)),
    };
}

} // namespace clocksim
