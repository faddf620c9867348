// The window's printout file on a slow and on a full disk, against a clock
// on a pty: every line is on the disk before its acknowledgement, a box
// holds no acknowledgement back, and a disk that takes writes again gets
// every row once.

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/printout_keeper.h"
#include "clocklink/frame.h"
#include "printout/printout_disk.h"
#include "printout/printout_reader.h"
#include "sim_clock.h"
#include "window_rig.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

std::string PathOf(int fd)
{
    std::error_code ec;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
}

// A disk whose flushes take their time and whose printout files may be full;
// it notes what it has flushed.
class TestDisk : public printout::Disk {
public:
    std::atomic<int> flushMs{0};
    std::atomic<bool> full{false};
    std::atomic<long> fileFlushed{0}; // the printout file's size at its last flush
    std::atomic<bool> folderFlushed{false}, markFlushed{false};

    int Write(int fd, std::string_view bytes, off_t offset, std::size_t* written) override
    {
        if (full && PathOf(fd).ends_with(".txt")) {
            *written = 0;
            return ENOSPC;
        }
        return Disk::Write(fd, bytes, offset, written);
    }
    int Flush(int fd, bool folder) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(flushMs.load()));
        const int rc = Disk::Flush(fd, folder);
        const std::string path = PathOf(fd);
        struct stat st{};
        if (folder)
            folderFlushed = true;
        else if (path.ends_with(".run"))
            markFlushed = true;
        else if (path.ends_with(".txt") && ::fstat(fd, &st) == 0)
            fileFlushed = st.st_size;
        return rc;
    }
};

struct DiskTest : ::testing::Test {
    DiskTest()
    {
        SetUpProgram();
        char pattern[] = "/tmp/quillprint-disk-XXXXXX";
        home = ::mkdtemp(pattern);
        ::setenv("XDG_DATA_HOME", home.c_str(), 1);
        printout::SetDisk(&disk);
    }
    ~DiskTest() override
    {
        printout::SetDisk(nullptr);
        fs::remove_all(home);
    }
    std::vector<fs::path> Printouts() const
    {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(home / "quillprint/printouts"))
            files.push_back(e.path());
        return files;
    }
    FakePortTree ports;
    TestDisk disk;
    fs::path home;
};

std::vector<std::string> Rows(const printout::PrintoutSheet& sheet)
{
    std::vector<std::string> rows;
    for (int i = 1; i < sheet.RowCount(); ++i)
        rows.emplace_back(sheet.RowText(i));
    return rows;
}

} // namespace

TEST_F(DiskTest, ABoxOpenDuringAPrintoutHoldsNoAcknowledgementAndTheFullDiskCatchesUp)
{
    disk.full = true;
    clocksim::Options options;
    std::vector<std::string> lines;
    for (int i = 0; i < 10; ++i)
        options.printout.push_back(lines.emplace_back("line " + std::to_string(i)));
    options.settleMs = 50;
    options.ackTimeoutMs = 1000;
    // At the line's own speed, as a clock sends: the box is made while the
    // next frame is still on its way.
    options.pace = true;
    SimClock clock(options);
    ports.Add("ttyUSB0", clock.Path());
    app::TForm1 form;
    app::TPrintoutKeeper keeper(form);
    form.show();
    // The user reads the failure's box for 5 s while the clock goes on.
    auto boxes = std::make_unique<BoxAnswerer>(5000);
    long acksAtOpen = -1, acksWhileOpen = -1;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) && boxes->seen.empty()) {
            acksWhileOpen = clock.Stats().acksReceived;
            if (acksAtOpen < 0)
                acksAtOpen = acksWhileOpen;
        }
    });
    look.start(5);
    form.BitBtn1->click();
    ASSERT_TRUE(RunEventsUntil([&] { return clock.Stats().printoutsCompleted >= 1 && !boxes->seen.empty(); }, 20000));
    const clocksim::Stats stats = clock.Stats();
    ASSERT_EQ(boxes->seen.size(), 1u);
    EXPECT_TRUE(boxes->seen[0].text.contains("cannot be written")) << boxes->seen[0].text.toStdString();
    EXPECT_LE(acksAtOpen, 2);
    EXPECT_EQ(acksWhileOpen, 10);
    EXPECT_EQ(stats.acksReceived, 10);
    EXPECT_EQ(stats.framesResent, 0);
    std::string latencies;
    for (const double ms : stats.ackLatenciesMs)
        latencies += std::to_string(static_cast<int>(ms)) + " ";
    // Those that came while the box was open left after the pause, not after
    // the box (50-60 ms on a quiet machine: bench_window says how close;
    // here a margin for a busy one).
    ASSERT_GE(acksAtOpen, 0);
    EXPECT_LE(*std::max_element(stats.ackLatenciesMs.begin() + acksAtOpen, stats.ackLatenciesMs.end()), 150.0)
        << latencies;
    EXPECT_EQ(Rows(form.Sheet()), lines);

    look.stop();
    boxes.reset();
    // Clear Screen would lose them: one box says how many, and the rows stay.
    BoxAnswerer lost;
    form.BitBtn4->click();
    ASSERT_EQ(lost.seen.size(), 1u);
    EXPECT_EQ(lost.seen[0].text, "Lines of this printout that are not on disk: 10.");
    EXPECT_EQ(Rows(form.Sheet()), lines);

    // Space again: the file catches up by itself, and the label says so.
    disk.full = false;
    ASSERT_TRUE(RunEventsUntil([&] { return form.lbl_p3_connected->text() == "Printout on disk again"; }, 10000));
    ASSERT_EQ(Printouts().size(), 1u);
    EXPECT_EQ(printout::ReadPrintoutFile(Printouts()[0].string()).rows, lines);
    form.BitBtn4->click(); // nothing is lost now: no box
    EXPECT_EQ(lost.seen.size(), 1u);
    EXPECT_TRUE(Rows(form.Sheet()).empty());
    form.BitBtn1->click();
}

TEST_F(DiskTest, OnASlowDiskEveryLineTheFirstTooIsFlushedBeforeItsAcknowledgement)
{
    disk.flushMs = 150;
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ports.Add("ttyUSB0", ::ttyname(slave));
    ::close(slave);
    app::TForm1 form;
    app::TPrintoutKeeper keeper(form);
    form.show();
    form.BitBtn1->click();
    ASSERT_TRUE(form.ComPort1.Connected());

    // The clock's side: at each acknowledgement, what the disk had by then.
    struct AtAck {
        long fileFlushed;
        bool folderFlushed, markFlushed;
    };
    std::mutex lock;
    std::vector<AtAck> atAcks;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        const std::string ack = clocklink::WithChecksum(clocklink::AckBody('U', 'P'));
        std::string received;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0)
                continue;
            char buffer[64];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            received.append(buffer, static_cast<std::size_t>(n));
            while (received.size() >= ack.size()) {
                EXPECT_EQ(received.substr(0, ack.size()), ack);
                received.erase(0, ack.size());
                std::lock_guard l(lock);
                atAcks.push_back({disk.fileFlushed, disk.folderFlushed, disk.markFlushed});
            }
        }
    });
    std::vector<long> through; // the file's size once each line is in it
    long size = 0;
    for (int i = 0; i < 3; ++i) {
        const std::string text = "line " + std::to_string(i);
        through.push_back(size += static_cast<long>(text.size()) + 1);
        const std::string frame = clocklink::MakeFrame(0x6C, 'U', 'P', text);
        ASSERT_EQ(::write(master, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
        ASSERT_TRUE(RunEventsUntil([&] {
            std::lock_guard l(lock);
            return atAcks.size() == through.size();
        }));
    }
    stop = true;
    peer.join();
    form.BitBtn1->click();
    ::close(master);
    for (std::size_t i = 0; i < through.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i));
        EXPECT_GE(atAcks[i].fileFlushed, through[i]);
        // The new file's name is on the disk too, in its folder and in the mark.
        EXPECT_TRUE(atAcks[i].folderFlushed);
        EXPECT_TRUE(atAcks[i].markFlushed);
    }
}

