#pragma once
// Syncing a folder's entries, so a file just made or renamed there keeps its
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

// Opens the folder and hands it to flush; a folder that will not open is left.
template <class Flush>
void SyncFolder(const std::string& folder, Flush flush)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        flush(fd);
        ::close(fd);
    }
}

inline void SyncFolder(const std::string& folder)
{
    SyncFolder(folder, [](int fd) { ::fsync(fd); });
}

} // namespace printer
