#pragma once
// What is checked and taken before a device is opened: that the name is a
// serial line (a character device of a tty driver, not /dev/tty, the
// console or the pty multiplexer, whose opening has side effects), and the
// UUCP lock file that terminal programs honour.

#include <string>

#include <sys/types.h>

namespace serial {

// 0 when path is a serial line that may be opened; else the errno to report
// (that of stat, or ENOTTY for anything that is not a serial line).
int CheckSerialDevice(const std::string& path);

// Where lock files go: /run/lock, or QP_SERIAL_LOCKDIR (read at the first
// use), or what SetComPortLockDir gave. An empty directory means no lock
// files at all.
std::string ComPortLockDir();
void SetComPortLockDir(const std::string& dir);

// The lock file's name for a device: "LCK.." and the device's path below
// /dev (after symlinks), with "/" as "_": LCK..ttyUSB0, LCK..pts_3.
std::string LockFileName(const std::string& devicePath);

// One held lock file LCK..name holding our pid ("%10d\n").
class TUucpLock {
public:
    TUucpLock() = default;
    ~TUucpLock() { Release(); }
    TUucpLock(const TUucpLock&) = delete;
    TUucpLock& operator=(const TUucpLock&) = delete;

    // 0 when taken (or when no lock can be kept: no directory, no right to
    // write there); EBUSY when a live process holds it. A lock whose process
    // is gone is taken over.
    int Take(const std::string& devicePath);
    // Removes the file if it still names us.
    void Release();
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

} // namespace serial
