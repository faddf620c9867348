#pragma once
// A pseudo-terminal as the serial line: the port under test opens the slave
// by its path, the test plays the peer on the master.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "serial/dispatcher.h"

namespace serial_test {

class PtyPeer {
public:
    PtyPeer() {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::abort();
        }
        path_ = ::ttyname(slave_);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    }
    ~PtyPeer() {
        CloseMaster();
        if (slave_ >= 0)
            ::close(slave_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& Path() const { return path_; }
    int Master() const { return master_; }

    void Write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else
                Wait(POLLOUT, 1000);
        }
    }

    // Reads until n bytes have come or timeoutMs has passed.
    std::string Read(std::size_t n, int timeoutMs = 5000) {
        std::string out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n && std::chrono::steady_clock::now() < end) {
            char buf[4096];
            const ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (got > 0)
                out.append(buf, static_cast<std::size_t>(got));
            else
                Wait(POLLIN, 20);
        }
        return out;
    }

    // Everything that arrives within ms.
    std::string Drain(int ms) { return Read(1 << 30, ms); }

    void CloseMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

private:
    void Wait(short what, int ms) {
        pollfd p{master_, what, 0};
        ::poll(&p, 1, ms);
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Runs queued main-thread calls until pred holds or timeoutMs passes.
inline bool PumpUntil(serial::TMainThreadDispatcher& d, const std::function<bool()>& pred,
                      int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        d.WaitAndRun(5);
    }
    return true;
}

// Runs queued main-thread calls for ms.
inline void PumpFor(serial::TMainThreadDispatcher& d, int ms) {
    PumpUntil(d, [] { return false; }, ms);
}

// Aborts the test binary if a scope does not end in time, so that a
// deadlock fails the run instead of hanging it.
class Watchdog {
public:
    explicit Watchdog(int seconds, const char* what) : what_(what) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock lock(mutex_);
            if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
                std::fprintf(stderr, "watchdog: %s did not finish in %d s (deadlock)\n", what_, seconds);
                std::abort();
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    const char* what_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

inline int OpenFdCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

inline int ThreadCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace serial_test
