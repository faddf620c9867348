// quillprint-clock-sim as a program: its output, its link, its signals.

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "sim_peer.h"

extern char** environ;

using namespace simtest;

namespace {

std::string Program()
{
    const char* p = std::getenv("QP_CLOCK_SIM");
    return p ? p : "quillprint-clock-sim";
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/qp-clock-sim-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

class Child {
public:
    Child(std::vector<std::string> args, const std::string& errFile)
    {
        args.insert(args.begin(), Program());
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        out_ = fds[0];
    }

    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    pid_t Pid() const { return pid_; }

    // Reads until a newline, EOF or the time limit.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        for (;;) {
            const auto nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            if (eof_ || Clock::now() >= end)
                return std::nullopt;
            Fill(20);
        }
    }

    std::string ReadToEnd(std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (!eof_ && Clock::now() < end)
            Fill(20);
        return std::exchange(buf_, {});
    }

    // Exit code, or -1 when it did not end in time or ended otherwise.
    int Wait(std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    bool Fill(int ms)
    {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return false;
        char b[4096];
        const ssize_t n = ::read(out_, b, sizeof b);
        if (n <= 0)
            eof_ = true;
        else
            buf_.append(b, static_cast<std::size_t>(n));
        return n > 0;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string buf_;
    bool eof_ = false;
};

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The value of a "name: value unit" line, or NaN.
double Figure(const std::string& out, const std::string& name)
{
    const auto at = out.find("\n" + name + ": ");
    if (at == std::string::npos)
        return NAN;
    return std::strtod(out.c_str() + at + name.size() + 3, nullptr);
}

} // namespace

TEST(ClockSimProgram, PlaysAFileOnALinkedPtyAndReportsItsFigures)
{
    TempDir dir;
    {
        std::ofstream f(dir / "report.txt", std::ios::binary);
        f << "Eins\nZwei \xFC\n\fDrei\n";
    }
    const std::string link = dir / "clock";
    Child sim({"--link", link, "--file", dir / "report.txt", "--exit-after", "--settle", "100"},
              dir / "err");
    ASSERT_GT(sim.Pid(), 0);
    const auto path = sim.ReadLine(10s);
    ASSERT_TRUE(path) << FileText(dir / "err");
    char target[PATH_MAX] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(*path, target);

    TinyQuillprint qp(link);
    ASSERT_TRUE(qp.port.IsOpen());
    const std::vector<std::string> rows{"@", "Eins", "Zwei \xFC", "@", "Drei"};
    ASSERT_TRUE(qp.PumpUntil([&] { return qp.Rows() == rows; }, 30s));
    EXPECT_EQ(sim.Wait(10s), 0);
    const std::string out = "\n" + sim.ReadToEnd(5s);
    EXPECT_NE(out.find("\nframes_sent: 3 frames\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nacks_received: 3 acks\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nacks_wrong: 0 acks\n"), std::string::npos) << out;
    EXPECT_GE(Figure(out, "ack_latency_ms_median"), 50.0) << out;
    EXPECT_GE(Figure(out, "ack_latency_ms_p99"), Figure(out, "ack_latency_ms_median"));
    struct stat st{};
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the link goes with the program";
}

TEST(ClockSimProgram, KeepsServingUntilTerminatedAndThenReports)
{
    TempDir dir;
    Child sim({"--loop", "--loop-gap", "0", "--quiet"}, dir / "err");
    const auto path = sim.ReadLine(10s);
    ASSERT_TRUE(path);
    TinyQuillprint qp(*path);
    ASSERT_TRUE(qp.PumpUntil([&] { return qp.sheet.RowCount() >= 4; }, 30s));
    ::kill(sim.Pid(), SIGTERM);
    EXPECT_EQ(sim.Wait(10s), 0);
    const std::string out = "\n" + sim.ReadToEnd(5s);
    EXPECT_GE(Figure(out, "acks_received"), 3.0) << out;
    EXPECT_GE(Figure(out, "ack_latency_ms_median"), 50.0) << out;
    EXPECT_EQ(FileText(dir / "err"), "");
}

TEST(ClockSimProgram, RefusesBadUsage)
{
    TempDir dir;
    {
        std::ofstream f(dir / "precious");
        f << "keep";
    }
    const std::vector<std::vector<std::string>> bad{
        {"--no-such-option"},
        {"--bad-every", "0"},
        {"--repeat", "2x"},
        {"--ack-timeout"},
        {"--utf8"},
        {"--link", dir / "precious"},
    };
    for (const auto& args : bad) {
        Child sim(args, dir / "err");
        EXPECT_EQ(sim.Wait(10s), 2) << args[0];
        EXPECT_NE(FileText(dir / "err").find("quillprint-clock-sim: "), std::string::npos);
    }
    EXPECT_EQ(FileText(dir / "precious"), "keep");

    Child missing({"--device", dir / "no-such-port"}, dir / "err");
    EXPECT_EQ(missing.Wait(10s), 1);
    EXPECT_NE(FileText(dir / "err").find("no-such-port"), std::string::npos);
}

TEST(ClockSimProgram, PrintsTheSample)
{
    TempDir dir;
    Child sim({"--print-sample"}, dir / "err");
    std::string expected;
    for (const auto& l : clocksim::SamplePrintout())
        expected += l + '\n';
    EXPECT_EQ(sim.ReadToEnd(10s), expected);
    EXPECT_EQ(sim.Wait(10s), 0);
}
