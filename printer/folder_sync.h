#pragma once
// A folder's entries synced, so a file just made or renamed there keeps its
// name after a power cut. Qt-free and header-only: the printout files use it
// as well as the saved PDFs.

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace printer {

// The folder a path names its file in.
inline std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// flush(fd) (fsync, or a stand-in) on the open folder; one that will not open is left.
template <class Flush>
void SyncFolder(const std::string& folder, Flush flush)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        flush(fd);
        ::close(fd);
    }
}

} // namespace printer
