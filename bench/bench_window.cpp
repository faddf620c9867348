// The program on a live line: acknowledgement latency through the window's
// receiver and TComPort (as the program runs, with its printout file on the
// build folder's disk, and without the file; with a box open; on a disk whose
// flushes take 150 ms, with how long a click waits there), the loft scan's
// cost per port, and start-up.

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <spawn.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/application.h"
#include "app/comport_dispatch_qt.h"
#include "app/form1.h"
#include "app/printout_keeper.h"
#include "clocklink/loft_scan.h"
#include "printout/printout_disk.h"
#include "serial/ports.h"
#include "tests/app/user_input.h"
#include "tools/clock_sim.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The simulated clock on a pty behind a fake ttyUSB0, with a printouts
// folder of its own; all of it gone again at the end.
struct SimOnFakePort {
    explicit SimOnFakePort(const clocksim::Options& options)
        : line(clocksim::Line::CreatePty()), sim(line, options), peer([this] { sim.Run(stop); })
    {
        char dir[] = "/tmp/quillprint-bench-XXXXXX";
        root = ::mkdtemp(dir);
        fs::create_directories(root / "sys" / "ttyUSB0" / "device");
        fs::create_directories(root / "dev");
        fs::create_symlink(line.Path(), root / "dev" / "ttyUSB0");
        serial::SetComPortRoots((root / "sys").string(), (root / "dev").string());
        ::setenv("XDG_DATA_HOME", home.c_str(), 1);
    }
    ~SimOnFakePort()
    {
        Stop();
        fs::remove_all(root);
        fs::remove_all(home);
    }
    clocksim::Stats Stop()
    {
        stop = true;
        if (peer.joinable())
            peer.join();
        return sim.Snapshot();
    }

    clocksim::Line line;
    std::atomic<bool> stop{false};
    clocksim::ClockSimulator sim;
    std::thread peer;
    fs::path root;
    const fs::path home = fs::current_path() / "bench-ack-home";
};

void BenchAckLatency(bool withFile)
{
    clocksim::Options options;
    for (int i = 0; i < 1000; ++i)
        options.printout.push_back("Line " + std::to_string(i) + "  DV-06543-23  12:34:56  1234.567");
    options.settleMs = 50;
    SimOnFakePort rig(options);
    clocksim::ClockSimulator& sim = rig.sim;
    {
        app::TForm1 form;
        std::unique_ptr<app::TPrintoutKeeper> keeper;
        if (withFile)
            keeper = std::make_unique<app::TPrintoutKeeper>(form);
        form.show();
        form.BitBtn1->click();
        while (sim.Snapshot().printoutsCompleted < 1)
            QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        form.BitBtn1->click();
    }
    const clocksim::Stats stats = rig.Stop();
    const char* name = withFile ? "ack_latency_ms" : "ack_latency_no_file_ms";
    std::printf("%s_median: %.2f ms\n", name, clocksim::Median(stats.ackLatenciesMs));
    std::printf("%s_p99: %.2f ms\n", name, clocksim::Percentile(stats.ackLatenciesMs, 99));
    std::fprintf(stderr, "(acks %ld of %zu, resent %ld)\n", stats.acksReceived, options.printout.size(),
                 stats.framesResent);
}

// A disk whose every flush takes 150 ms, as a slow USB stick's does.
class SlowDisk : public printout::Disk {
public:
    int Flush(int fd, bool folder) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return Disk::Flush(fd, folder);
    }
};

// Takes note of each new row, so a click can follow it.
class RowWatch : public printout::PrintoutSheet::Observer {
public:
    std::function<void()> onRow;
    void SheetReset() override {}
    void RowsChanged(int) override { onRow(); }
    void CurrentRowChanged(int, bool) override {}
};

// A widget of its own that notes when each click reaches it.
class ClickProbe : public QWidget {
public:
    std::vector<Clock::time_point> sent;
    std::vector<double> waitedMs;
    void Click()
    {
        sent.push_back(Clock::now());
        testing_support::UserClick(this);
    }

protected:
    void mousePressEvent(QMouseEvent*) override
    {
        if (waitedMs.size() < sent.size())
            waitedMs.push_back(Ms(Clock::now() - sent[waitedMs.size()]));
    }
};

// The printout file with a box open the whole time (a user away from the
// computer), or on a slow disk with a click 75 ms after each line.
void BenchWithTheFile(bool boxOpen, bool slowDisk)
{
    clocksim::Options options;
    for (int i = 0; i < (slowDisk ? 100 : 300); ++i)
        options.printout.push_back("Line " + std::to_string(i) + "  DV-06543-23  12:34:56  1234.567");
    options.settleMs = 50;
    // At the line's speed, as a clock sends: a click held by one line's
    // waits gets its turn before the next line is in.
    options.pace = true;
    SimOnFakePort rig(options);
    clocksim::ClockSimulator& sim = rig.sim;
    SlowDisk slow;
    if (slowDisk)
        printout::SetDisk(&slow);
    ClickProbe probe;
    RowWatch rows;
    std::vector<double> tickLateMs;
    {
        app::TForm1 form;
        app::TPrintoutKeeper keeper(form);
        form.show();
        probe.setGeometry(0, 0, 40, 40);
        probe.show();
        rows.onRow = [&] { QTimer::singleShot(75, &probe, [&] { probe.Click(); }); };
        if (slowDisk)
            form.Sheet().AddObserver(&rows);
        // The loop's own pace meanwhile: how late a 10 ms timer fires.
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        auto lastTick = Clock::now();
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            tickLateMs.push_back(std::max(0.0, Ms(now - lastTick) - 10));
            lastTick = now;
        });
        tick.start(10);
        form.BitBtn1->click();
        const auto done = [&] { return sim.Snapshot().printoutsCompleted >= 1; };
        if (boxOpen) {
            QTimer::singleShot(0, [&] {
                QMessageBox box(QMessageBox::Information, "Quillprint", "Away from the computer", QMessageBox::Ok);
                QTimer closer;
                QObject::connect(&closer, &QTimer::timeout, [&] {
                    if (done())
                        box.accept();
                });
                closer.start(20);
                box.exec();
            });
        }
        while (!done())
            QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        if (slowDisk)
            form.Sheet().RemoveObserver(&rows);
        form.BitBtn1->click();
    }
    printout::SetDisk(nullptr);
    const clocksim::Stats stats = rig.Stop();
    if (boxOpen)
        std::printf("ack_latency_ms_p99_box_open: %.2f ms\n", clocksim::Percentile(stats.ackLatenciesMs, 99));
    if (slowDisk) {
        std::printf("ack_latency_ms_p99_slow_disk: %.2f ms\n", clocksim::Percentile(stats.ackLatenciesMs, 99));
        std::printf("window_response_ms_p99_slow_disk: %.2f ms\n", clocksim::Percentile(probe.waitedMs, 99));
        std::fprintf(stderr, "(slow disk: ack median %.1f ms, click median %.1f ms of %zu, timer late p99 %.1f ms)\n",
                     clocksim::Median(stats.ackLatenciesMs), clocksim::Median(probe.waitedMs), probe.waitedMs.size(),
                     clocksim::Percentile(tickLateMs, 99));
    }
    std::fprintf(stderr, "(acks %ld of %zu, resent %ld)\n", stats.acksReceived, options.printout.size(),
                 stats.framesResent);
}

void BenchLoftScan()
{
    constexpr int kPorts = 8;
    std::vector<int> fds;
    std::vector<std::string> names;
    for (int i = 0; i < kPorts; ++i) {
        int master = -1, slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        fds.push_back(master);
        fds.push_back(slave);
        names.push_back(::ttyname(slave));
    }
    const auto start = Clock::now();
    const auto found = clocklink::ScanForLoftClock<serial::TComPort>(names);
    const double ms = Ms(Clock::now() - start);
    std::printf("loft_scan_ms_per_port: %.1f ms\n", ms / kPorts);
    if (found)
        std::fprintf(stderr, "(unexpected clock on %s)\n", found->c_str());
    for (int fd : fds)
        ::close(fd);
}

// Runs the real program until its window is up; it reports and quits.
void BenchStartup()
{
    std::vector<double> times;
    long rssKb = 0;
    for (int run = 0; run < 5; ++run) {
        int out[2];
        if (::pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        ::setenv("QUILLPRINT_REPORT_SHOWN", "1", 1);
        ::setenv("XDG_DATA_HOME", (fs::current_path() / "bench-startup-home").c_str(), 1);
        const char* argv[] = {QUILLPRINT_BIN, nullptr};
        const auto start = Clock::now();
        pid_t pid = -1;
        if (posix_spawn(&pid, QUILLPRINT_BIN, &actions, nullptr, const_cast<char**>(argv), environ) != 0)
            return;
        ::close(out[1]);
        char buf[256] = {};
        std::string report;
        ssize_t n;
        while (report.find('\n') == std::string::npos && (n = ::read(out[0], buf, sizeof buf)) > 0)
            report.append(buf, static_cast<std::size_t>(n));
        times.push_back(Ms(Clock::now() - start));
        std::sscanf(report.c_str(), "shown rss_kb=%ld", &rssKb);
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ::unsetenv("QUILLPRINT_REPORT_SHOWN");
    fs::remove_all(fs::current_path() / "bench-startup-home");
    std::sort(times.begin(), times.end());
    std::printf("startup_to_window_ms: %.1f ms\n", times[times.size() / 2]);
    std::printf("idle_window_rss_kb: %ld kB\n", rssKb);
}

} // namespace

int main(int argc, char** argv)
{
    app::TApplication application(argc, argv);
    app::InstallFontSubstitutes();
    app::ComPortDispatcherQt dispatcher;
    dispatcher.MakeDefault();
    BenchAckLatency(false);
    BenchAckLatency(true);
    BenchWithTheFile(true, false);
    BenchWithTheFile(false, true);
    BenchLoftScan();
    BenchStartup();
    return 0;
}
