#include "serial/portlock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace serial {

namespace {

std::mutex lockDirMutex;
bool lockDirSet = false;
std::string lockDir;

enum class TtyKind { None, Line, Refused };

// /proc/tty/drivers: "name  /dev/node  major  minor[-minor]  type".
TtyKind KindFromDrivers(unsigned maj, unsigned min) {
    std::ifstream drivers("/proc/tty/drivers");
    if (!drivers)
        return TtyKind::Line; // cannot tell: the numbers below still hold
    std::string line;
    while (std::getline(drivers, line)) {
        char type[64] = {};
        unsigned major = 0, lo = 0, hi = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "%*s %*s %u %u%n", &major, &lo, &used) != 2 || major != maj)
            continue;
        hi = lo;
        const char* rest = line.c_str() + used;
        if (*rest == '-')
            hi = static_cast<unsigned>(std::strtoul(rest + 1, const_cast<char**>(&rest), 10));
        if (min < lo || min > hi || std::sscanf(rest, "%63s", type) != 1)
            continue;
        // /dev/tty, the console, ptmx, the virtual-console master; pty masters.
        if (std::strncmp(type, "system", 6) == 0 || std::strcmp(type, "pty:master") == 0)
            return TtyKind::Refused;
        return TtyKind::Line;
    }
    return TtyKind::None;
}

} // namespace

int CheckSerialDevice(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    if (!S_ISCHR(st.st_mode))
        return ENOTTY;
    const unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
    // /dev/tty, /dev/console, /dev/ptmx: whatever /proc says.
    if (maj == 5 && min <= 2)
        return ENOTTY;
    return KindFromDrivers(maj, min) == TtyKind::Line ? 0 : ENOTTY;
}

std::string ComPortLockDir() {
    std::lock_guard lock(lockDirMutex);
    if (!lockDirSet) {
        const char* env = std::getenv("QP_SERIAL_LOCKDIR");
        lockDir = env ? env : "/run/lock";
        lockDirSet = true;
    }
    return lockDir;
}

void SetComPortLockDir(const std::string& dir) {
    std::lock_guard lock(lockDirMutex);
    lockDir = dir;
    lockDirSet = true;
}

std::string LockFileName(const std::string& devicePath) {
    std::string real = devicePath;
    if (char* r = ::realpath(devicePath.c_str(), nullptr)) {
        real = r;
        std::free(r);
    }
    std::string name;
    if (real.rfind("/dev/", 0) == 0) {
        name = real.substr(5);
    } else {
        const std::size_t slash = real.rfind('/');
        name = slash == std::string::npos ? real : real.substr(slash + 1);
    }
    for (char& c : name)
        if (c == '/')
            c = '_';
    return "LCK.." + name;
}

namespace {

// The pid a lock file names: ASCII (HDB), or a binary int of old programs;
// 0 when it names none.
pid_t LockOwner(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    if (n == static_cast<ssize_t>(sizeof(int))) {
        int binary;
        std::memcpy(&binary, buf, sizeof binary);
        bool digits = true;
        for (ssize_t i = 0; i < n; ++i)
            digits = digits && ((buf[i] >= '0' && buf[i] <= '9') || buf[i] == ' ' || buf[i] == '\n');
        if (!digits)
            return binary > 0 ? binary : 0;
    }
    buf[n] = 0;
    const long pid = std::strtol(buf, nullptr, 10);
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

bool Alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

} // namespace

int TUucpLock::Take(const std::string& devicePath) {
    Release();
    const std::string dir = ComPortLockDir();
    if (dir.empty())
        return 0;
    const std::string path = dir + "/" + LockFileName(devicePath);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[16];
            const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
            const bool written = ::write(fd, text, static_cast<std::size_t>(len)) == len;
            ::close(fd);
            if (!written) {
                ::unlink(path.c_str());
                return 0; // a full disk: no lock rather than no port
            }
            path_ = path;
            return 0;
        }
        if (errno != EEXIST)
            return 0; // no lock directory, or no right to write there
        if (Alive(LockOwner(path)))
            return EBUSY;
        // Left behind by a program that has gone: ours now.
        ::unlink(path.c_str());
    }
    return EBUSY;
}

void TUucpLock::Release() {
    if (path_.empty())
        return;
    if (LockOwner(path_) == ::getpid())
        ::unlink(path_.c_str());
    path_.clear();
}

} // namespace serial
