#include "printout/printout_disk.h"

#include <atomic>
#include <cerrno>
#include <unistd.h>

namespace printout {
namespace {

Disk realDisk;
std::atomic<Disk*> current{nullptr};

} // namespace

int Disk::Write(int fd, std::string_view bytes, off_t offset, std::size_t* written)
{
    *written = 0;
    while (*written < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + *written, bytes.size() - *written,
                                   offset + static_cast<off_t>(*written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return ENOSPC;
        *written += static_cast<std::size_t>(n);
    }
    return 0;
}

int Disk::Flush(int fd, bool folder)
{
    const int rc = folder ? ::fsync(fd) : ::fdatasync(fd);
    return rc == 0 ? 0 : errno;
}

Disk& CurrentDisk()
{
    Disk* d = current.load(std::memory_order_acquire);
    return d ? *d : realDisk;
}

void SetDisk(Disk* disk)
{
    current.store(disk, std::memory_order_release);
}

} // namespace printout
