// Serial port figures, each beside QSerialPort's where it has one:
//   rx_event_latency_*: a byte written on the pty master until OnRxChar runs
//     on the main thread (smThreadSync through the Qt event loop), against
//     QSerialPort's readyRead: the median of the per-round ratios with its
//     quartiles, and how many rounds each side spent in the fast mode; the
//     run fails when a median ratio passes its bound (spaced 1.6, back to
//     back 1.3), so that a slide of the receive path shows;
//   open_close_us_median: open + configure + close of a pty;
//   idle_cpu_ms_per_10s: CPU of the port's monitor thread on a quiet line.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <dirent.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include "app/comport_dispatch_qt.h"
#include "serial/comport.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kOpenCloses = 1000;

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        path = ::ttyname(slave);
    }
    ~Pty() {
        ::close(master);
        ::close(slave);
    }
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// A peer thread plays the clock: once the previous byte has been handled it
// waits gapUs and writes the next one; the handler on the main thread stamps
// the arrival. With gapUs 0 the handler writes the next byte itself.
void RoundTrips(int master, int count, int gapUs, std::vector<double>& lat,
                std::function<void()>& arrivedHook) {
    std::atomic<std::int64_t> sentNs{0};
    std::atomic<int> handled{0};
    QEventLoop loop;
    arrivedHook = [&] {
        lat.push_back((NowNs() - sentNs.load()) / 1000.0);
        if (handled.fetch_add(1) + 1 >= count)
            loop.quit();
    };
    if (gapUs == 0) {
        // Back to back: the handler itself writes the next byte.
        arrivedHook = [&] {
            lat.push_back((NowNs() - sentNs.load()) / 1000.0);
            if (handled.fetch_add(1) + 1 >= count) {
                loop.quit();
                return;
            }
            sentNs = NowNs();
            [[maybe_unused]] auto w = ::write(master, "x", 1);
        };
        sentNs = NowNs();
        [[maybe_unused]] auto w = ::write(master, "x", 1);
        loop.exec();
        arrivedHook = nullptr;
        return;
    }
    std::thread peer([&] {
        for (int i = 0; i < count; ++i) {
            while (handled.load() < i)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            std::this_thread::sleep_for(std::chrono::microseconds(gapUs));
            sentNs = NowNs();
            [[maybe_unused]] auto w = ::write(master, "x", 1);
        }
    });
    loop.exec();
    peer.join();
    arrivedHook = nullptr;
}

// A wake-up on a VM lands in a fast (a few us) or a slow (tens of us) mode
// that lasts for hundreds of trips, so both sides are measured in many short
// rounds, alternating which goes first, and compared round by round.
constexpr int kRounds = 100;
constexpr int kTripsPerRound = 200;
constexpr double kFastModeUs = 30; // a round's median below this: fast mode

struct LatencyFigures {
    std::vector<double> ours, theirs;             // every trip
    std::vector<double> ourRounds, theirRounds;   // per-round medians
    std::vector<double> ratios;                   // ours / theirs per round
};

LatencyFigures Latency(int gapUs) {
    Pty ourPty, theirPty;
    std::function<void()> ourHook, theirHook;
    serial::TComPort port;
    port.SetPort(ourPty.path);
    port.OnRxChar = [&](serial::TComPort& p, int count) {
        std::string text;
        p.ReadText(text, count);
        if (ourHook)
            ourHook();
    };
    port.OpenPort();
    QSerialPort qport(QString::fromStdString(theirPty.path));
    qport.setBaudRate(9600);
    if (!qport.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "QSerialPort: %s\n", qPrintable(qport.errorString()));
        std::exit(1);
    }
    QObject::connect(&qport, &QSerialPort::readyRead, [&] {
        qport.readAll();
        if (theirHook)
            theirHook();
    });
    LatencyFigures f;
    std::vector<double> warm;
    RoundTrips(ourPty.master, 500, gapUs, warm, ourHook);
    RoundTrips(theirPty.master, 500, gapUs, warm, theirHook);
    for (int r = 0; r < kRounds; ++r) {
        std::vector<double> ours, theirs;
        auto runOurs = [&] { RoundTrips(ourPty.master, kTripsPerRound, gapUs, ours, ourHook); };
        auto runTheirs = [&] { RoundTrips(theirPty.master, kTripsPerRound, gapUs, theirs, theirHook); };
        if (r % 2 == 0) {
            runOurs();
            runTheirs();
        } else {
            runTheirs();
            runOurs();
        }
        const double om = Percentile(ours, 0.5), qm = Percentile(theirs, 0.5);
        f.ourRounds.push_back(om);
        f.theirRounds.push_back(qm);
        f.ratios.push_back(qm > 0 ? om / qm : 0.0);
        f.ours.insert(f.ours.end(), ours.begin(), ours.end());
        f.theirs.insert(f.theirs.end(), theirs.begin(), theirs.end());
    }
    port.ClosePort();
    qport.close();
    return f;
}

int FastRounds(const std::vector<double>& roundMedians) {
    return static_cast<int>(std::count_if(roundMedians.begin(), roundMedians.end(),
                                          [](double us) { return us < kFastModeUs; }));
}

std::vector<double> OurOpenClose() {
    Pty pty;
    std::vector<double> t;
    serial::TComPort port;
    port.SetPort(pty.path);
    for (int i = 0; i < kOpenCloses; ++i) {
        const auto t0 = Clock::now();
        port.OpenPort();
        port.ClosePort();
        t.push_back(Us(Clock::now() - t0));
    }
    return t;
}

std::vector<double> QtOpenClose() {
    Pty pty;
    std::vector<double> t;
    QSerialPort port(QString::fromStdString(pty.path));
    for (int i = 0; i < kOpenCloses; ++i) {
        const auto t0 = Clock::now();
        if (!port.open(QIODevice::ReadWrite))
            return {};
        port.setBaudRate(9600);
        port.setDataBits(QSerialPort::Data8);
        port.setParity(QSerialPort::NoParity);
        port.setStopBits(QSerialPort::OneStop);
        port.setFlowControl(QSerialPort::NoFlowControl);
        port.close();
        t.push_back(Us(Clock::now() - t0));
    }
    return t;
}

double ProcessCpuMs() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec * 1e3 + ru.ru_utime.tv_usec / 1e3 + ru.ru_stime.tv_sec * 1e3 +
           ru.ru_stime.tv_usec / 1e3;
}

std::set<std::string> Tasks() {
    std::set<std::string> ids;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ids.insert(e->d_name);
        ::closedir(d);
    }
    return ids;
}

// Time on CPU of one thread, from the scheduler's own count (ns).
double ThreadCpuMs(const std::string& tid) {
    std::ifstream in("/proc/self/task/" + tid + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e6;
}

void IdleCpu() {
    Pty pty;
    static constexpr int kSeconds = 5;
    // The main thread just sleeps: whatever CPU the process uses meanwhile
    // is the open port's own (its monitor thread).
    auto sleepInLoop = [] { std::this_thread::sleep_for(std::chrono::seconds(kSeconds)); };
    // The same quiet time without any port, for comparison.
    const double b0 = ProcessCpuMs();
    sleepInLoop();
    const double baseline = ProcessCpuMs() - b0;

    serial::TComPort port;
    port.SetPort(pty.path);
    port.OnRxChar = [](serial::TComPort&, int) {};
    const auto before = Tasks();
    port.OpenPort();
    std::string monitor;
    for (const auto& t : Tasks())
        if (!before.count(t))
            monitor = t;
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();
    // The /proc reads stay outside the process figure.
    const double m0 = ThreadCpuMs(monitor);
    const double p0 = ProcessCpuMs();
    sleepInLoop();
    const double process = ProcessCpuMs() - p0;
    const double mon = ThreadCpuMs(monitor) - m0;
    port.ClosePort();
    // The port's own cost: its monitor thread (the main thread sleeps). The
    // whole process, with and without a port, is printed for comparison.
    std::printf("idle_cpu_ms_per_10s: %.3f ms\n", mon * 10.0 / kSeconds);
    std::printf("idle_process_cpu_ms_per_10s: %.3f ms\n", process * 10.0 / kSeconds);
    std::printf("idle_process_cpu_ms_per_10s_without_port: %.3f ms\n", baseline * 10.0 / kSeconds);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    app::ComPortDispatcherQt dispatcher;
    dispatcher.MakeDefault();

    // The clock's bytes come about a millisecond apart, so each byte finds
    // both sides idle; back to back, the next byte is written the moment the
    // previous one has been handled.
    struct Run {
        const char* suffix;
        int gapUs;
        double bound; // the median of the per-round ratios may not pass it
    };
    int rc = 0;
    for (const Run& run : {Run{"", 300, 1.6}, Run{"_back_to_back", 0, 1.3}}) {
        const char* suffix = run.suffix;
        const LatencyFigures f = Latency(run.gapUs);
        std::printf("rx_event_latency_us_median%s: %.1f us\n", suffix, Percentile(f.ourRounds, 0.5));
        std::printf("rx_event_latency_us_p99%s: %.1f us\n", suffix, Percentile(f.ours, 0.99));
        std::printf("qserialport_rx_latency_us_median%s: %.1f us\n", suffix, Percentile(f.theirRounds, 0.5));
        std::printf("qserialport_rx_latency_us_p99%s: %.1f us\n", suffix, Percentile(f.theirs, 0.99));
        std::printf("rx_event_latency_ratio_vs_qserialport%s: %.2f ratio\n", suffix, Percentile(f.ratios, 0.5));
        std::printf("rx_event_latency_ratio_vs_qserialport%s_q1: %.2f ratio\n", suffix, Percentile(f.ratios, 0.25));
        std::printf("rx_event_latency_ratio_vs_qserialport%s_q3: %.2f ratio\n", suffix, Percentile(f.ratios, 0.75));
        std::printf("rx_event_fast_mode_rounds%s: %d of %d rounds\n", suffix, FastRounds(f.ourRounds), kRounds);
        std::printf("qserialport_fast_mode_rounds%s: %d of %d rounds\n", suffix, FastRounds(f.theirRounds), kRounds);
        if (Percentile(f.ratios, 0.5) > run.bound) {
            std::fprintf(stderr, "rx_event_latency_ratio_vs_qserialport%s: past its bound %.1f\n", suffix,
                         run.bound);
            rc = 1;
        }
    }

    const double oc = Percentile(OurOpenClose(), 0.5);
    const double qc = Percentile(QtOpenClose(), 0.5);
    std::printf("open_close_us_median: %.1f us\n", oc);
    std::printf("qserialport_open_close_us_median: %.1f us\n", qc);
    std::printf("open_close_ratio_vs_qserialport: %.2f ratio\n", qc > 0 ? oc / qc : 0.0);

    IdleCpu();
    return rc;
}
