#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "serial/comport.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"
#include "serial/portlock.h"
#include "serial/ports.h"

#include "pty_peer.h"

using namespace serial;
using namespace serial_test;

namespace {

// Records every open/close and line-state event in order.
struct EventLog {
    std::vector<std::string> entries;
    void Attach(TComPort& p) {
        p.OnBeforeOpen = [this](TComPort&) { entries.push_back("BeforeOpen"); };
        p.OnAfterOpen = [this](TComPort&) { entries.push_back("AfterOpen"); };
        p.OnBeforeClose = [this](TComPort&) { entries.push_back("BeforeClose"); };
        p.OnAfterClose = [this](TComPort& s) {
            entries.push_back(std::string("AfterClose") + (s.Handle() < 0 ? "" : "(handle!)"));
        };
        p.OnCTSChange = [this](TComPort&, bool on) { entries.push_back(on ? "CTS+" : "CTS-"); };
        p.OnDSRChange = [this](TComPort&, bool on) { entries.push_back(on ? "DSR+" : "DSR-"); };
        p.OnRLSDChange = [this](TComPort&, bool on) { entries.push_back(on ? "RLSD+" : "RLSD-"); };
    }
};

const std::vector<std::string> kOpenEvents = {"BeforeOpen", "AfterOpen", "CTS-", "DSR-", "RLSD-"};
const std::vector<std::string> kCloseEvents = {"CTS-", "DSR-", "RLSD-", "BeforeClose", "AfterClose"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class OpenClose : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetDispatcher(&dispatcher);
        port.SetPort(pty.Path());
        log.Attach(port);
    }
    // The port goes first: its destructor still raises events into the log.
    PtyPeer pty;
    TPlainDispatcher dispatcher;
    EventLog log;
    TComPort port;
};

TEST_F(OpenClose, EventsInOrderAndOnlyOnce) {
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
    EXPECT_TRUE(port.ThreadStarted());
    port.SetConnected(true);
    port.OpenPort();
    EXPECT_EQ(log.entries, kOpenEvents);
    port.SetConnected(false);
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.ThreadStarted());
    EXPECT_EQ(port.Handle(), -1);
    port.SetConnected(false);
    port.ClosePort();
    EXPECT_EQ(log.entries, Concat(kOpenEvents, kCloseEvents));
}

TEST_F(OpenClose, EmptyEventsOpenWithoutMonitorAndStillTransfer) {
    port.SetEvents({});
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
    EXPECT_FALSE(port.ThreadStarted());
    EXPECT_EQ(log.entries, kOpenEvents);
    EXPECT_EQ(port.WriteText("ping"), 4);
    EXPECT_EQ(pty.Read(4), "ping");
    pty.Write("pong");
    std::string got;
    ASSERT_TRUE(PumpUntil(dispatcher, [&] { return port.PendingInput() == 4; }));
    EXPECT_EQ(port.ReadText(got, 10), 4);
    EXPECT_EQ(got, "pong");
    port.SetConnected(false);
    EXPECT_EQ(log.entries, Concat(kOpenEvents, kCloseEvents));
}

TEST_F(OpenClose, MissingDeviceFailsWithItsErrno) {
    port.SetPort("/dev/pts/does-not-exist");
    try {
        port.SetConnected(true);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 1);
        EXPECT_EQ(e.SystemErrorCode(), 2);
        EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    EXPECT_EQ(log.entries, std::vector<std::string>{"BeforeOpen"});
    // Still usable: the right name opens.
    port.SetPort(pty.Path());
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
}

TEST_F(OpenClose, BareNameIsLookedUpUnderTheDeviceRoot) {
    const std::string dir = ::testing::TempDir() + "qp_dev_" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    const std::string link = dir + "/ttyCLOCK";
    ASSERT_EQ(::symlink(pty.Path().c_str(), link.c_str()), 0);
    const ComPortRoots saved = GetComPortRoots();
    SetComPortRoots(saved.sysRoot, dir);
    port.SetPort("COM1");
    try {
        port.OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.SystemErrorCode(), 2); // dir/COM1 does not exist
    }
    port.SetPort("ttyCLOCK");
    EXPECT_NO_THROW(port.OpenPort());
    EXPECT_TRUE(port.Connected());
    // The same name in other letter case is another name: closed and opened again.
    const std::string lower = dir + "/ttyclock";
    ASSERT_EQ(::symlink(pty.Path().c_str(), lower.c_str()), 0);
    log.entries.clear();
    port.SetPort("ttyclock");
    EXPECT_EQ(log.entries, Concat(kCloseEvents, kOpenEvents));
    EXPECT_TRUE(port.Connected());
    log.entries.clear();
    port.SetPort("ttyclock");
    EXPECT_TRUE(log.entries.empty());
    port.ClosePort();
    SetComPortRoots(saved.sysRoot, saved.devRoot);
    ::unlink(lower.c_str());
    ::unlink(link.c_str());
    ::rmdir(dir.c_str());
}

TEST_F(OpenClose, PlainFileIsRefusedAndLeftUntouched) {
    const std::string file = ::testing::TempDir() + "qp_not_a_tty_" + std::to_string(::getpid());
    std::ofstream(file) << "";
    port.SetPort(file);
    try {
        port.OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 1);
        EXPECT_EQ(e.SystemErrorCode(), ENOTTY);
    }
    EXPECT_FALSE(port.Connected());
    struct stat st{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    ::unlink(file.c_str());
}

TEST_F(OpenClose, OnlySerialLinesAreOpened) {
    const std::string dir = ::testing::TempDir() + "qp_notty_" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    // /dev/ptmx would make a new pty, /dev/tty is the caller's terminal,
    // /dev/null stands for any other device (a watchdog arms on open).
    for (const std::string name : {"/dev/ptmx", "/dev/tty", "/dev/console", "/dev/null", dir.c_str()}) {
        port.SetPort(name);
        try {
            port.OpenPort();
            FAIL() << name;
        } catch (const EComPort& e) {
            EXPECT_EQ(e.PortErrorCode(), 1) << name;
            EXPECT_EQ(e.SystemErrorCode(), ENOTTY) << name;
        }
        EXPECT_FALSE(port.Connected());
    }
    ::rmdir(dir.c_str());
}

class LockFiles : public OpenClose {
protected:
    void SetUp() override {
        OpenClose::SetUp();
        dir = ::testing::TempDir() + "qp_lock_" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0700);
        SetComPortLockDir(dir);
        lock = dir + "/" + LockFileName(pty.Path());
    }
    void TearDown() override {
        port.ClosePort();
        ::unlink(lock.c_str());
        ::rmdir(dir.c_str());
        SetComPortLockDir(saved);
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void WriteLock(const std::string& path, pid_t pid) {
        std::ofstream(path) << std::string(10 - std::to_string(pid).size(), ' ') << pid << "\n";
    }
    std::string saved = ComPortLockDir();
    std::string dir, lock;
};

TEST_F(LockFiles, AnOpenPortHoldsItsUucpLock) {
    EXPECT_EQ(LockFileName(pty.Path()), "LCK.." + pty.Path().substr(5).replace(3, 1, "_"));
    port.OpenPort();
    char mine[16];
    std::snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(::getpid()));
    EXPECT_EQ(Read(lock), mine);
    port.ClosePort();
    EXPECT_NE(::access(lock.c_str(), F_OK), 0);
}

TEST_F(LockFiles, ALiveHoldersLockMakesThePortBusyAndAStaleOneIsTakenOver) {
    // Another program (pid 1 is always alive) has the line.
    WriteLock(lock, 1);
    try {
        port.OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.SystemErrorCode(), EBUSY);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(Read(lock), "         1\n"); // not ours to remove
    // The holder is gone: a process that has ended.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    WriteLock(lock, child);
    EXPECT_NO_THROW(port.OpenPort());
    EXPECT_EQ(std::stoi(Read(lock)), ::getpid());
}

TEST_F(OpenClose, SecondOpenOfTheSameDeviceFails) {
    port.OpenPort();
    TComPort other;
    other.SetDispatcher(&dispatcher);
    other.SetPort(pty.Path());
    try {
        other.OpenPort();
        FAIL() << "the device was opened twice";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 1);
        // flock holds also for root, whom TIOCEXCL does not stop.
        EXPECT_TRUE(e.SystemErrorCode() == EWOULDBLOCK || e.SystemErrorCode() == EBUSY)
            << e.SystemErrorCode();
    }
    EXPECT_FALSE(other.Connected());
    port.ClosePort();
    EXPECT_NO_THROW(other.OpenPort());
    EXPECT_TRUE(other.Connected());
}

TEST_F(OpenClose, RefusedConfigurationClosesAgain) {
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(0);
    try {
        port.OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 7);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    EXPECT_FALSE(port.ThreadStarted());
    port.Buffer().SetInputSize(-2);
    port.SetCustomBaudRate(9600);
    try {
        port.OpenPort();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 9);
        EXPECT_STREQ(e.what(), "SetupComm function failed (win error code: 22)");
    }
    EXPECT_FALSE(port.Connected());
    // The device was released: another port can have it.
    TComPort other;
    other.SetDispatcher(&dispatcher);
    other.SetPort(pty.Path());
    EXPECT_NO_THROW(other.OpenPort());
}

TEST_F(OpenClose, PortChangeOnAnOpenPortClosesAndReopens) {
    port.OpenPort();
    PtyPeer second;
    port.SetPort(second.Path());
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(log.entries, Concat(Concat(kOpenEvents, kCloseEvents), kOpenEvents));
    EXPECT_EQ(port.WriteText("x"), 1);
    EXPECT_EQ(second.Read(1), "x");
    EXPECT_EQ(pty.Drain(50), "");
    // The first device was let go: another port opens it.
    TComPort other;
    other.SetDispatcher(&dispatcher);
    other.SetPort(pty.Path());
    EXPECT_NO_THROW(other.OpenPort());
    other.ClosePort();

    // A name that fails to open: raised from the setter, the name stays, the port is closed.
    try {
        port.SetPort("/dev/pts/none");
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.SystemErrorCode(), 2);
    }
    EXPECT_EQ(port.Port(), "/dev/pts/none");
    EXPECT_FALSE(port.Connected());
}

TEST_F(OpenClose, EventsChangeTakesEffectAtTheNextOpen) {
    port.SetEvents({});
    port.OpenPort();
    port.SetEvents(kAllComEvents);
    EXPECT_FALSE(port.ThreadStarted());
    port.ClosePort();
    port.OpenPort();
    EXPECT_TRUE(port.ThreadStarted());
    EXPECT_TRUE(port.MonitorRunning());
}

TEST_F(OpenClose, DestroyingAnOpenPortCloses) {
    auto p = std::make_unique<TComPort>();
    p->SetDispatcher(&dispatcher);
    p->SetPort(pty.Path());
    EventLog l;
    l.Attach(*p);
    p->OpenPort();
    p.reset();
    EXPECT_EQ(l.entries, Concat(kOpenEvents, kCloseEvents));
    // The device is free again.
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
}

TEST_F(OpenClose, HandlerExceptionPassesThroughAtItsPoint) {
    port.OnAfterOpen = [](TComPort&) { throw std::runtime_error("after open"); };
    EXPECT_THROW(port.OpenPort(), std::runtime_error);
    EXPECT_TRUE(port.Connected()); // the device was opened before the event
    port.OnBeforeClose = [](TComPort&) { throw std::runtime_error("before close"); };
    EXPECT_THROW(port.ClosePort(), std::runtime_error);
    EXPECT_TRUE(port.Connected());
    port.OnBeforeClose = nullptr;
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
}

TEST_F(OpenClose, ClosingIsQuickWithUnsentOutput) {
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(100);
    port.OpenPort();
    const std::string block(1 << 20, 'x');
    const int sent = port.WriteText(block); // nobody reads the master
    EXPECT_LT(sent, static_cast<int>(block.size()));
    const auto t0 = std::chrono::steady_clock::now();
    port.ClosePort();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 5000); // not the driver's 30 s closing_wait
}

TEST_F(OpenClose, ThousandCyclesLeakNoDescriptorOrThread) {
    port.OpenPort();
    port.ClosePort();
    const int fds = OpenFdCount();
    const int threads = ThreadCount();
    for (int i = 0; i < 1000; ++i) {
        port.OpenPort();
        ASSERT_TRUE(port.Connected());
        port.ClosePort();
    }
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(log.entries.size(), 1001u * (kOpenEvents.size() + kCloseEvents.size()));
}

} // namespace
