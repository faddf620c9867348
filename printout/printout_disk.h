#pragma once
// The disk under the printout files and the run marks: their writes and
// flushes go through here, so a slow or full disk can be stood in for.
// Qt-free; any thread.

#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace printout {

class Disk {
public:
    virtual ~Disk() = default;
    // pwrite of bytes at offset; *written says how far it got. 0 or errno.
    virtual int Write(int fd, std::string_view bytes, off_t offset, std::size_t* written);
    // fdatasync (a file's data) or fsync (a folder's entries); 0 or errno.
    virtual int Flush(int fd, bool folder);
};

// The disk in use; the real one unless a test or benchmark set another.
Disk& CurrentDisk();
// Set while no printout file or run mark is in use; nullptr: the real one.
void SetDisk(Disk* disk);

} // namespace printout
