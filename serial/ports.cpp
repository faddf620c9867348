#include "serial/ports.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/errors.h"

namespace serial {

namespace {

std::mutex rootsMutex;
bool rootsSet = false;
ComPortRoots roots;

[[noreturn]] void RegistryError(int err) { throw EComPort(CError_RegError, err); }

// The `type` attribute of a serial-core port: 0 means no UART behind it.
bool IsPlaceholder(const std::string& entryDir) {
    const std::string path = entryDir + "/type";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return false; // not a serial-core port (USB, ACM, ...)
        RegistryError(errno);
    }
    char buf[32];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    const int err = errno;
    ::close(fd);
    if (n < 0)
        RegistryError(err);
    buf[n] = 0;
    return std::strtol(buf, nullptr, 10) == 0 && buf[0] >= '0' && buf[0] <= '9';
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string result(resolved);
    std::free(resolved);
    return result;
}

// A one-line sysfs attribute without its line end; false when unreadable.
bool ReadAttribute(const std::string& path, std::string& value) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n < 0)
        return false;
    value.assign(buf, static_cast<std::size_t>(n));
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.pop_back();
    return true;
}

std::string DirOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The entry name of the node the port leads to directly in the device root,
// following links one at a time (the last hop of a udev link names the
// kernel's node); empty when the path ends elsewhere (/dev/pts/3).
std::string EntryNameOf(const std::string& port, const std::string& devRoot) {
    const std::string devDir = RealPath(devRoot);
    if (devDir.empty())
        return {};
    std::string path = !port.empty() && port[0] == '/' ? port : devRoot + "/" + port;
    for (int hop = 0; hop < 40; ++hop) {
        const std::string dir = DirOf(path);
        const std::string name = path.substr(path.rfind('/') + 1);
        if (!name.empty() && name != "." && name != ".." && RealPath(dir) == devDir)
            return name;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof target))
            return {};
        const std::string next(target, static_cast<std::size_t>(n));
        path = next[0] == '/' ? next : dir + "/" + next;
    }
    return {};
}

} // namespace

ComPortRoots GetComPortRoots() {
    std::lock_guard lock(rootsMutex);
    if (!rootsSet) {
        const char* sys = std::getenv("QP_SERIAL_SYSFS");
        const char* dev = std::getenv("QP_SERIAL_DEV");
        roots.sysRoot = sys && *sys ? sys : "/sys/class/tty";
        roots.devRoot = dev && *dev ? dev : "/dev";
        rootsSet = true;
    }
    return roots;
}

void SetComPortRoots(const std::string& sysRoot, const std::string& devRoot) {
    std::lock_guard lock(rootsMutex);
    roots = {sysRoot, devRoot};
    rootsSet = true;
}

std::string DevicePathOf(const std::string& port) {
    if (!port.empty() && port[0] == '/')
        return port;
    return GetComPortRoots().devRoot + "/" + port;
}

ComPortDescription DescribeComPort(const std::string& port) {
    const ComPortRoots r = GetComPortRoots();
    return DescribeComPort(port, r.sysRoot, r.devRoot);
}

ComPortDescription DescribeComPort(const std::string& port, const std::string& sysRoot,
                                   const std::string& devRoot) {
    ComPortDescription d;
    const std::string name = EntryNameOf(port, devRoot);
    if (name.empty())
        return d;
    const std::string device = RealPath(sysRoot + "/" + name + "/device");
    if (device.empty())
        return d;
    d.described = true;
    // The first device up the tree with USB ids is the adapter itself (a
    // hub further up has ids too); the interface and port below it do not.
    for (std::string dir = device; dir != "/"; dir = DirOf(dir)) {
        std::string vendor, product;
        if (ReadAttribute(dir + "/idVendor", vendor) && ReadAttribute(dir + "/idProduct", product)) {
            d.vendor = vendor;
            d.product = product;
            ReadAttribute(dir + "/serial", d.serial);
            return d;
        }
    }
    d.device = device;
    return d;
}

bool PortNameLess(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

void ListComPorts(std::vector<std::string>& ports) {
    const ComPortRoots r = GetComPortRoots();
    ListComPorts(ports, r.sysRoot, r.devRoot);
}

void ListComPorts(std::vector<std::string>& ports, const std::string& sysRoot,
                  const std::string& devRoot) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(sysRoot.c_str()), ::closedir);
    if (!dir)
        RegistryError(errno);
    std::vector<std::string> found;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir.get());
        if (!e) {
            if (errno != 0)
                RegistryError(errno);
            break;
        }
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string entryDir = sysRoot + "/" + name;
        struct stat st;
        if (::stat((entryDir + "/device").c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                continue; // a virtual terminal, pty or console: no device behind it
            RegistryError(errno);
        }
        if (IsPlaceholder(entryDir))
            continue;
        // A port without a device node cannot be opened by its name.
        if (::stat((devRoot + "/" + name).c_str(), &st) != 0) {
            if (errno == ENOENT)
                continue;
            RegistryError(errno);
        }
        found.push_back(name);
    }
    std::stable_sort(found.begin(), found.end(), PortNameLess);
    ports = std::move(found);
}

} // namespace serial
