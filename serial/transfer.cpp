// Blocking transfers of the open device under the five timeouts.

#include "serial/device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include <poll.h>
#include <unistd.h>

#include "serial/errors.h"
#include "serial/rxpath.h"

namespace serial {

namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Poll timeout until deadline (ms, -1 for none); 0 once it has passed.
int TimeLeft(std::int64_t deadline) {
    if (deadline < 0)
        return -1;
    const std::int64_t left = deadline - NowMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
}

} // namespace

void TPortDevice::Unregister(TComTransfer& t) {
    if (!t.registered)
        return;
    std::lock_guard lock(transferMutex_);
    t.registered = false;
    // A cancel nobody is left to see is taken back (only one was sent).
    if (--activeTransfers_ == 0 && abortSignalled_) {
        abortSignalled_ = false;
        ClearEventFd(abortFd_);
    }
}

void TPortDevice::AbortTransfers() {
    if (fd_ < 0)
        throw EComPort(CError_PurgeFailed, EBADF);
    std::lock_guard lock(transferMutex_);
    if (activeTransfers_ == 0)
        return;
    ++abortGeneration_;
    const std::uint64_t one = 1;
    if (::write(abortFd_, &one, sizeof one) < 0)
        throw EComPort(CError_PurgeFailed, errno);
    abortSignalled_ = true;
}

// Resets t for a transfer of count bytes; false when there is nothing to move.
bool TPortDevice::Prepare(TComTransfer& t, TTransferKind kind, int count, char* read, const char* write) {
    t.kind = kind;
    t.readBuffer = read;
    t.writeBuffer = write;
    t.count = std::max(count, 0);
    t.done = 0;
    t.started = false;
    return count > 0;
}

void TPortDevice::Begin(TComTransfer& t) {
    {
        std::lock_guard lock(transferMutex_);
        ++activeTransfers_;
        t.abortGeneration = abortGeneration_;
        t.registered = true;
    }
    t.startMs = NowMs();
    t.started = true;
}

int TPortDevice::StartWrite(const void* buffer, int count, TComTransfer& t) {
    if (!Prepare(t, xkWrite, count, nullptr, static_cast<const char*>(buffer)))
        return 0;
    Begin(t);
    ssize_t n;
    do {
        n = ::write(fd_, buffer, static_cast<std::size_t>(count));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN)
            return 0;
        const int err = errno;
        t.started = false;
        Unregister(t);
        throw EComPort(CError_WriteFailed, err);
    }
    t.done = static_cast<int>(n);
    return t.done;
}

int TPortDevice::StartRead(void* buffer, int count, TComTransfer& t, TRxPath& rx) {
    if (!Prepare(t, xkRead, count, static_cast<char*>(buffer), nullptr))
        return 0;
    if (fd_ < 0)
        throw EComPort(CError_ReadFailed, EBADF);
    Begin(t);
    try {
        t.done = rx.Receive(t.readBuffer, count, false);
    } catch (...) {
        t.started = false;
        Unregister(t);
        throw;
    }
    return t.done;
}

int TPortDevice::AwaitTransfer(TComTransfer& t, const TComTimeouts& timeouts, TRxPath& rx) {
    if (!t.started)
        return 0;
    // Every way out ends the transfer's registration.
    struct Done {
        TPortDevice& device;
        TComTransfer& t;
        ~Done() { device.Unregister(t); }
    } done{*this, t};
    const bool writing = t.kind == xkWrite;
    const int failCode = writing ? CError_WriteFailed : CError_ReadFailed;

    std::int64_t deadline = -1;     // total time limit
    std::int64_t interval = -1;     // limit between two received bytes
    bool firstBytesEnd = false;     // return as soon as anything arrived
    if (writing) {
        const std::uint64_t total =
            std::uint64_t(std::uint32_t(timeouts.WriteTotalMultiplier())) * std::uint32_t(t.count) +
            std::uint32_t(timeouts.WriteTotalConstant());
        if (total != 0)
            deadline = t.startMs + static_cast<std::int64_t>(total);
    } else {
        const std::uint32_t ri = timeouts.ReadInterval();
        const std::uint32_t rtm = timeouts.ReadTotalMultiplier();
        const std::uint32_t rtc = timeouts.ReadTotalConstant();
        if (ri == kAllOnes && rtm == 0 && rtc == 0)
            return t.done; // what was queued, at once
        if (ri == kAllOnes && rtm == kAllOnes && rtc != 0 && rtc != kAllOnes) {
            firstBytesEnd = true;
            deadline = t.startMs + rtc;
        } else {
            const std::uint64_t total = std::uint64_t(rtm) * std::uint32_t(t.count) + rtc;
            if (total != 0)
                deadline = t.startMs + static_cast<std::int64_t>(total);
            if (ri != 0 && ri != kAllOnes)
                interval = ri;
        }
        if (firstBytesEnd && t.done > 0)
            return t.done;
    }

    std::int64_t lastByte = NowMs();
    bool watchAbort = true;
    while (t.done < t.count) {
        if (!writing) {
            // Armed: when the queue is short the monitor tells us as it
            // queues more (it may drain the device before we look).
            const int n = rx.Receive(t.readBuffer + t.done, t.count - t.done, true);
            if (n > 0) {
                t.done += n;
                lastByte = NowMs();
                if (firstBytesEnd || t.done >= t.count)
                    break;
            }
        }
        int timeout = TimeLeft(deadline);
        if (!writing && interval >= 0 && t.done > 0) {
            const int gap = TimeLeft(lastByte + interval);
            timeout = timeout < 0 ? gap : std::min(timeout, gap);
        }
        if (timeout == 0)
            break;
        pollfd fds[3] = {{fd_, short(writing ? POLLOUT : POLLIN), 0},
                         {watchAbort ? abortFd_ : -1, POLLIN, 0},
                         {writing ? -1 : rx.ReadyFd(), POLLIN, 0}};
        const int r = ::poll(fds, 3, timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            throw EComPort(failCode, errno);
        }
        if (r == 0)
            break;
        if (fds[1].revents & POLLIN) {
            std::lock_guard lock(transferMutex_);
            if (abortGeneration_ != t.abortGeneration)
                break;
            watchAbort = false; // a cancel meant for an earlier transfer
        }
        if (fds[2].revents & POLLIN)
            rx.ClearReady();
        if (!writing || !fds[0].revents)
            continue;
        const ssize_t w = ::write(fd_, t.writeBuffer + t.done, static_cast<std::size_t>(t.count - t.done));
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            throw EComPort(failCode, errno);
        }
        t.done += static_cast<int>(w);
    }
    return t.done;
}

} // namespace serial
