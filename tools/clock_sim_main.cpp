// quillprint-clock-sim: a loft clock on a pseudo-terminal or a serial line.

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include "clock_sim.h"

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) { gStop = true; }

const char kUsage[] = R"(usage: quillprint-clock-sim [options]

Acts as a TAVELIN Corvan K7 loft clock: answers the loft probe and plays a
printout as line frames, each waiting for Quillprint's acknowledgement.
The first line of output is the port to give Quillprint; the figures follow
when the program ends (Ctrl-C, SIGTERM, or --exit-after).

Line:
  (default)         a new pseudo-terminal; the printout starts once the
                    other side has opened it and then left it quiet for the
                    settle time; every new opening gets the printout again
  --link PATH       also make PATH a symbolic link to the pseudo-terminal
                    (an old link there is replaced; anything else is refused)
  --device PATH     a real serial port instead (null-modem cable), 9600 8N1;
                    playing starts at once unless --wait-byte
  --wait-byte       start only after a first byte from the other side

Printout:
  --file PATH       play this text file (Windows-1252, one frame per line,
                    a form feed ends the page) instead of the built-in report
  --utf8            the file is UTF-8: convert it to Windows-1252
  --print-sample    write the built-in report to standard output and exit
  --repeat N        N copies per round (1)
  --loop            play round after round while the line stays open
  --loop-gap MS     pause between rounds (2000)
  --exit-after      end after the first complete round

Line faults and timing:
  --mix             also "P" frames with sub-code "T" and unacknowledged "Q"
                    frames (lines cycle P/U, P/T, P/U, Q)
  --bad-every N     send every Nth line frame with a wrong checksum
  --split           write each frame in 2 to 4 pieces
  --split-gap MS    pause between pieces (5)
  --seed N          seed for the split points (1)
  --pace            no faster than 9600 baud carries the bytes
  --ack-timeout MS  wait this long for each acknowledgement (1000)
  --resends N       send an unacknowledged frame up to N more times (3),
                    then go on with the next line
  --settle MS       quiet time after an opening and after a probe (300)
  --line-gap MS     pause after each line (0)
  --quiet           no event log on standard error
  -h, --help        this text
)";

struct UsageError {
    std::string text;
};

int Number(const std::string& opt, const char* text, int min, int max)
{
    int v = 0;
    const char* end = text + std::strlen(text);
    auto [p, ec] = std::from_chars(text, end, v);
    if (ec != std::errc() || p != end || v < min || v > max)
        throw UsageError{opt + " needs a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max)};
    return v;
}

// PATH becomes a link to target; an old link is replaced in one step.
void MakeLink(const std::string& path, const std::string& target)
{
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        throw UsageError{path + " exists and is not a symbolic link; not replacing it"};
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw std::system_error(err, std::generic_category(), "link " + path);
    }
}

void RemoveLinkIfOurs(const std::string& path, const std::string& target)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target)
        ::unlink(path.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    clocksim::Options opt;
    std::string device, link, file;
    bool utf8 = false, quiet = false, printSample = false;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            auto value = [&]() -> const char* {
                if (i + 1 >= argc)
                    throw UsageError{a + " needs a value"};
                return argv[++i];
            };
            if (a == "-h" || a == "--help") {
                std::cout << kUsage;
                return 0;
            } else if (a == "--device") {
                device = value();
            } else if (a == "--link") {
                link = value();
            } else if (a == "--wait-byte") {
                opt.waitForByte = true;
            } else if (a == "--file") {
                file = value();
            } else if (a == "--utf8") {
                utf8 = true;
            } else if (a == "--print-sample") {
                printSample = true;
            } else if (a == "--repeat") {
                opt.repeat = Number(a, value(), 1, 1'000'000);
            } else if (a == "--loop") {
                opt.loop = true;
            } else if (a == "--loop-gap") {
                opt.loopGapMs = Number(a, value(), 0, 3'600'000);
            } else if (a == "--exit-after") {
                opt.exitAfterPrintout = true;
            } else if (a == "--mix") {
                opt.mix = true;
            } else if (a == "--bad-every") {
                opt.badEvery = Number(a, value(), 1, INT_MAX);
            } else if (a == "--split") {
                opt.split = true;
            } else if (a == "--split-gap") {
                opt.splitGapMs = Number(a, value(), 0, 60'000);
            } else if (a == "--seed") {
                opt.seed = static_cast<unsigned>(Number(a, value(), 0, INT_MAX));
            } else if (a == "--pace") {
                opt.pace = true;
            } else if (a == "--ack-timeout") {
                opt.ackTimeoutMs = Number(a, value(), 1, 3'600'000);
            } else if (a == "--resends") {
                opt.maxResends = Number(a, value(), 0, 1000);
            } else if (a == "--settle") {
                opt.settleMs = Number(a, value(), 0, 60'000);
            } else if (a == "--line-gap") {
                opt.lineGapMs = Number(a, value(), 0, 3'600'000);
            } else if (a == "--quiet") {
                quiet = true;
            } else {
                throw UsageError{"unknown option " + a};
            }
        }
        if (!device.empty() && !link.empty())
            throw UsageError{"--link is for the pseudo-terminal; --device names a port already"};
        if (utf8 && file.empty())
            throw UsageError{"--utf8 goes with --file"};
    } catch (const UsageError& e) {
        std::cerr << "quillprint-clock-sim: " << e.text << "\n(--help lists the options)\n";
        return 2;
    }

    if (printSample) {
        for (const auto& line : clocksim::SamplePrintout())
            std::cout << line << '\n';
        return 0;
    }

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);

    std::ostream* log = quiet ? nullptr : &std::cerr;
    int rc = 0;
    clocksim::Stats stats;
    try {
        if (!file.empty()) {
            std::ifstream in(file, std::ios::binary);
            if (!in)
                throw std::system_error(errno, std::generic_category(), "open " + file);
            const std::string text{std::istreambuf_iterator<char>(in), {}};
            std::vector<std::string> notes;
            opt.printout = clocksim::PrintoutFromText(text, utf8, &notes);
            for (const auto& n : notes)
                std::cerr << "quillprint-clock-sim: " << file << ": " << n << '\n';
            if (opt.printout.empty())
                throw UsageError{file + " holds no lines"};
        }
        clocksim::Line line =
            device.empty() ? clocksim::Line::CreatePty() : clocksim::Line::OpenDevice(device);
        if (!link.empty())
            MakeLink(link, line.Path());
        std::cout << line.Path() << std::endl;
        try {
            clocksim::ClockSimulator sim(line, opt, log);
            stats = sim.Run(gStop);
        } catch (...) {
            if (!link.empty())
                RemoveLinkIfOurs(link, line.Path());
            throw;
        }
        if (!link.empty())
            RemoveLinkIfOurs(link, line.Path());
    } catch (const UsageError& e) {
        std::cerr << "quillprint-clock-sim: " << e.text << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "quillprint-clock-sim: " << e.what() << '\n';
        rc = 1;
    }
    for (const auto& l : clocksim::FormatStats(stats))
        std::cout << l << '\n';
    std::cout.flush();
    return rc;
}
