#include "app/run_mark.h"

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "printout/printout_disk.h"
#include "printout/printout_file.h"

namespace app {
namespace {

constexpr const char* kSuffix = ".run";

bool IsMark(const std::string& name)
{
    return name.size() > 4 && name.compare(name.size() - 4, 4, kSuffix) == 0;
}

// The first line; a mark torn by a power cut has none and names nothing.
std::string ReadRecorded(int fd)
{
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0 && text.size() < 65536)
        text.append(buf, static_cast<std::size_t>(n));
    const std::size_t end = text.find('\n');
    return end == std::string::npos ? std::string() : text.substr(0, end);
}

} // namespace

TRunMark::TRunMark(const std::string& folder)
{
    if (printout::MakePrivateFolder(folder) != 0)
        return;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string stem = folder + "/" + std::to_string(::getpid()) + "-" + std::to_string(stamp);
    // Locked and written under another name first, so no starting copy
    // ever sees it unlocked.
    const std::string making = stem + ".new";
    fd_ = ::open(making.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return;
    path_ = stem + kSuffix;
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 || ::rename(making.c_str(), path_.c_str()) != 0) {
        ::unlink(making.c_str());
        ::close(fd_);
        fd_ = -1;
        return;
    }
    Record(std::string());
}

TRunMark::~TRunMark()
{
    if (fd_ < 0)
        return;
    ::unlink(path_.c_str());
    ::close(fd_);
}

void TRunMark::Record(const std::string& printoutPath)
{
    std::lock_guard lock(lock_);
    if (fd_ < 0)
        return;
    const std::string line = printoutPath + "\n";
    printout::Disk& disk = printout::CurrentDisk();
    std::size_t written = 0;
    if (disk.Write(fd_, line, 0, &written) == 0 && ::ftruncate(fd_, static_cast<off_t>(line.size())) == 0 &&
        !printoutPath.empty())
        disk.Flush(fd_, false);
}

std::string TRunMark::ClaimCrashed(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return {};
    std::string restored;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsMark(name))
            continue;
        const std::string path = folder + "/" + name;
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        struct stat held{}, now{};
        // Locked: its run is alive. Gone or replaced since we opened it:
        // another copy has taken it.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &held) != 0 || ::stat(path.c_str(), &now) != 0 ||
            held.st_ino != now.st_ino || held.st_dev != now.st_dev) {
            ::close(fd);
            continue;
        }
        // One crash per start; a mark that names nothing that still exists
        // is cleared away on the way.
        const std::string recorded = ReadRecorded(fd);
        ::unlink(path.c_str());
        ::close(fd);
        if (!recorded.empty() && ::access(recorded.c_str(), R_OK) == 0) {
            restored = recorded;
            break;
        }
    }
    ::closedir(dir);
    return restored;
}

} // namespace app
