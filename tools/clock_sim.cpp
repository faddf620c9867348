// The simulated clock's play loop: the frames it writes and what it reads back.

#include "clock_sim.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include "clocklink/frame.h"

namespace clocksim {

namespace {

using namespace std::chrono_literals;

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

std::string Hex(std::string_view bytes, std::size_t max = 32)
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", static_cast<unsigned char>(bytes[i]));
        out += buf;
    }
    if (bytes.size() > max)
        out += " ...";
    return out;
}

// 10 bits per byte (start, 8 data, stop) at 9600 baud.
constexpr std::chrono::nanoseconds kByteTime{1'041'667};
// A frame from the peer comes in one write; bytes this far apart belong to
// no frame.
constexpr auto kIncomingGap = 200ms;
constexpr int kPollSliceMs = 20;

} // namespace

// --- the simulator ----------------------------------------------------------

ClockSimulator::ClockSimulator(const Line& line, Options options, std::ostream* log)
    : line_(line), opt_(std::move(options)), log_(log), rng_(opt_.seed)
{
    if (line_.Fd() < 0)
        throw std::invalid_argument("the clock needs an open line");
    if (opt_.printout.empty())
        opt_.printout = SamplePrintout();
    for (const ByteString& l : opt_.printout) {
        if (l.size() > 255)
            throw std::invalid_argument("a printout line holds more than 255 bytes");
    }
    opt_.repeat = std::max(opt_.repeat, 1);
    opt_.maxResends = std::max(opt_.maxResends, 0);
    opt_.ackTimeoutMs = std::max(opt_.ackTimeoutMs, 1);
}

template <class Fn> void ClockSimulator::Update(Fn fn)
{
    std::lock_guard lock(statsMutex_);
    fn(stats_);
}

Stats ClockSimulator::Snapshot() const
{
    std::lock_guard lock(statsMutex_);
    return stats_;
}

void ClockSimulator::Log(const std::string& text)
{
    if (log_)
        *log_ << "clock: " << text << std::endl;
}

bool ClockSimulator::Aborted(long epoch) const
{
    return stop_->load() || epoch != epoch_ || !peerOpen_;
}

Stats ClockSimulator::Run(const std::atomic<bool>& stop)
{
    stop_ = &stop;
    if (line_.GetKind() == Line::Kind::Device) {
        // A serial line shows no opens: it counts as open from the start.
        peerOpen_ = true;
        epoch_ = 1;
        openedAt_ = Clock::now();
    } else {
        // The peer may have the line open already (a second run on the same
        // line): the level tells, older watch events would only repeat it.
        DropWatchEvents();
        if (PeerHasLineOpen())
            PeerOpenedByLevel();
    }
    while (!stop) {
        if (!WaitForPeer())
            break;
        const long epoch = epoch_;
        if (!Settle(epoch))
            continue;
        bool finished = false;
        while (!Aborted(epoch)) {
            if (PlayRound(epoch) == Outcome::Aborted) {
                if (!stop)
                    Update([](Stats& s) { ++s.printoutsInterrupted; });
                Log("printout interrupted");
                break;
            }
            Update([](Stats& s) { ++s.printoutsCompleted; });
            Log("printout complete");
            if (opt_.exitAfterPrintout) {
                finished = true;
                break;
            }
            if (!opt_.loop) {
                // Played for this opening; the next opening gets it again.
                Service(Clock::time_point::max(), [&] { return Aborted(epoch); });
                break;
            }
            Service(Clock::now() + std::chrono::milliseconds(opt_.loopGapMs),
                    [&] { return Aborted(epoch); });
        }
        if (finished)
            break;
    }
    return Snapshot();
}

bool ClockSimulator::WaitForPeer()
{
    Service(Clock::time_point::max(), [&] { return peerOpen_ && (!opt_.waitForByte || gotByte_); });
    return !stop_->load();
}

bool ClockSimulator::Settle(long epoch)
{
    const auto settle = std::chrono::milliseconds(opt_.settleMs);
    for (;;) {
        if (Aborted(epoch))
            return false;
        const auto until = std::max(openedAt_, lastProbeAt_) + settle;
        if (Clock::now() >= until)
            return true;
        Service(until, [&] { return Aborted(epoch); });
    }
}

ClockSimulator::Outcome ClockSimulator::PlayRound(long epoch)
{
    for (int copy = 0; copy < opt_.repeat; ++copy) {
        for (std::size_t i = 0; i < opt_.printout.size(); ++i) {
            if (PlayLine(i, epoch) == Outcome::Aborted)
                return Outcome::Aborted;
            if (opt_.lineGapMs > 0)
                Service(Clock::now() + std::chrono::milliseconds(opt_.lineGapMs),
                        [&] { return Aborted(epoch); });
        }
    }
    return Aborted(epoch) ? Outcome::Aborted : Outcome::Done;
}

ClockSimulator::Outcome ClockSimulator::PlayLine(std::size_t index, long epoch)
{
    const FrameKind kind = FrameKindOf(index, opt_.mix);
    const ByteString frame =
        clocklink::MakeFrame(clocklink::kRequestStart, kind.subCode, kind.command, opt_.printout[index]);
    const int tries = 1 + opt_.maxResends;
    for (int attempt = 0; attempt < tries; ++attempt) {
        // Never talk over a probe: whoever probes reads its answer alone.
        if (!Settle(epoch))
            return Outcome::Aborted;
        // Whatever came late for the last try is counted before this one.
        PollOnce(0);
        if (Aborted(epoch))
            return Outcome::Aborted;

        ByteString bytes = frame;
        const bool corrupt = opt_.badEvery > 0 && ++lineTransmissions_ % opt_.badEvery == 0;
        if (corrupt)
            bytes.back() = static_cast<char>(static_cast<unsigned char>(bytes.back()) + 1);
        if (kind.acknowledged) {
            awaited_ = AwaitedAck{true, corrupt,
                                  clocklink::WithChecksum(clocklink::AckBody(kind.subCode, kind.command)),
                                  {}, index, attempt};
        }
        Clock::time_point sentAt;
        if (!WriteFrame(bytes, opt_.split, &sentAt)) {
            awaited_.active = false;
            return Outcome::Aborted;
        }
        Update([&](Stats& s) {
            ++s.framesSent;
            s.framesResent += attempt > 0;
            s.framesCorrupted += corrupt;
        });
        if (!kind.acknowledged) {
            Update([](Stats& s) { ++s.linesPlayed; });
            return Outcome::Done;
        }
        awaited_.checksumSentAt = sentAt;
        Service(sentAt + std::chrono::milliseconds(opt_.ackTimeoutMs),
                [&] { return !awaited_.active || Aborted(epoch); });
        if (Aborted(epoch)) {
            awaited_.active = false;
            return Outcome::Aborted;
        }
        if (!awaited_.active) {
            Update([](Stats& s) { ++s.linesPlayed; });
            return Outcome::Done;
        }
        awaited_.active = false;
        Update([](Stats& s) { ++s.ackTimeouts; });
        Log("no acknowledgement for line " + std::to_string(index + 1) + " within " +
            std::to_string(opt_.ackTimeoutMs) + " ms (try " + std::to_string(attempt + 1) + " of " +
            std::to_string(tries) + ")");
    }
    Update([](Stats& s) {
        ++s.framesGivenUp;
        ++s.linesPlayed;
    });
    Log("line " + std::to_string(index + 1) + " given up");
    return Outcome::Done;
}

// --- writing ----------------------------------------------------------------

bool ClockSimulator::WriteFrame(const ByteString& bytes, bool split, Clock::time_point* sentAt)
{
    std::vector<std::size_t> cuts;
    if (split && bytes.size() >= 2) {
        // 2 to 4 pieces; cutting after the start byte or before the checksum
        // byte is as likely as anywhere else.
        const std::size_t maxCuts = std::min<std::size_t>(3, bytes.size() - 1);
        const std::size_t n = std::uniform_int_distribution<std::size_t>(1, maxCuts)(rng_);
        std::uniform_int_distribution<std::size_t> at(1, bytes.size() - 1);
        while (cuts.size() < n) {
            const std::size_t c = at(rng_);
            if (std::find(cuts.begin(), cuts.end(), c) == cuts.end())
                cuts.push_back(c);
        }
        std::sort(cuts.begin(), cuts.end());
    }
    cuts.push_back(bytes.size());
    std::size_t from = 0;
    for (std::size_t k = 0; k < cuts.size(); ++k) {
        if (k > 0) {
            const auto until = Clock::now() + std::chrono::milliseconds(opt_.splitGapMs);
            while (Clock::now() < until) {
                if (stop_->load())
                    return false;
                std::this_thread::sleep_until(std::min(until, Clock::now() + 20ms));
            }
        }
        if (!WritePiece(std::string_view(bytes).substr(from, cuts[k] - from)))
            return false;
        Update([](Stats& s) { ++s.writes; });
        from = cuts[k];
    }
    *sentAt = lastWriteAt_;
    return true;
}

bool ClockSimulator::LineUsable()
{
    if (stop_->load())
        return false;
    if (line_.GetKind() != Line::Kind::Pty)
        return true;
    // Bytes written while nobody has the slave open wait there for the next
    // opener, who would take them for the start of its own session.
    pollfd p{line_.Fd(), POLLOUT, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) {
        if (peerOpen_)
            PeerClosed();
        return false;
    }
    return peerOpen_;
}

bool ClockSimulator::WritePiece(std::string_view bytes)
{
    const Clock::time_point start = std::max(Clock::now(), lineFreeAt_);
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t allowed = bytes.size();
        if (opt_.pace) {
            // A byte is handed over once the line would have carried it.
            const auto elapsed = Clock::now() - start;
            allowed = std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(elapsed / kByteTime));
            if (allowed <= done) {
                std::this_thread::sleep_until(start + kByteTime * static_cast<long>(done + 1));
                continue;
            }
        }
        if (!LineUsable())
            return false;
        // Taken before the call: the peer may have the bytes before write
        // returns, and an answer must never seem quicker than it was.
        lastWriteAt_ = Clock::now();
        const ssize_t n = ::write(line_.Fd(), bytes.data() + done, allowed - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{line_.Fd(), POLLOUT, 0};
            ::poll(&p, 1, kPollSliceMs);
            continue;
        }
        if (line_.GetKind() == Line::Kind::Pty && n < 0 && errno == EIO) {
            PeerClosed();
            return false;
        }
        ThrowErrno("write to " + line_.Path());
    }
    if (opt_.pace)
        lineFreeAt_ = start + kByteTime * static_cast<long>(bytes.size());
    return true;
}

// --- waiting and reading ------------------------------------------------------

template <class Done> void ClockSimulator::Service(Clock::time_point deadline, Done done)
{
    while (!stop_->load() && !done()) {
        const auto now = Clock::now();
        if (now >= deadline)
            return;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        PollOnce(static_cast<int>(std::min<long long>(left, kPollSliceMs)));
    }
}

void ClockSimulator::PollOnce(int timeoutMs)
{
    pollfd fds[2] = {{line_.Fd(), POLLIN, 0}, {line_.WatchFd(), POLLIN, 0}};
    const nfds_t n = line_.WatchFd() >= 0 ? 2 : 1;
    int r = ::poll(fds, n, timeoutMs);
    if (r < 0 && errno != EINTR)
        ThrowErrno("poll");
    if (r < 0)
        return;
    // The hang-up level first: an open the watch reports afterwards is
    // newer than it.
    const bool pty = line_.GetKind() == Line::Kind::Pty;
    const bool hangUp = pty && (fds[0].revents & POLLHUP);
    if (hangUp && peerOpen_)
        PeerClosed();
    if (n == 2 && (fds[1].revents & POLLIN))
        CheckWatch();
    else if (pty && n == 1 && !hangUp && !peerOpen_)
        PeerOpened();
    if (fds[0].revents & (POLLIN | POLLERR))
        ReadIncoming();
    if (!pty && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // A device that went away (an unplugged adapter) would keep poll
        // returning at once, and its reads return nothing.
        errno = EIO;
        ThrowErrno(line_.Path() + " hung up");
    }
    if (hangUp && !peerOpen_ && timeoutMs > 0) {
        // The hang-up stays raised, so poll would return at once: wait for
        // an open on the watch instead, or nap.
        if (n == 2) {
            pollfd w{line_.WatchFd(), POLLIN, 0};
            if (::poll(&w, 1, std::min(timeoutMs, kPollSliceMs)) > 0)
                CheckWatch();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 5)));
        }
    }
    if (!partial_.empty() && Clock::now() - partialAt_ > kIncomingGap) {
        const ByteString cut = std::move(partial_);
        partial_.clear();
        HandleIncoming(cut, Clock::now(), false);
    }
}

void ClockSimulator::CheckWatch()
{
    alignas(inotify_event) char buf[4096];
    bool opened = false;
    for (;;) {
        const ssize_t n = ::read(line_.WatchFd(), buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            // An open after a close is a new one; without a close between,
            // it is the one the level has already counted.
            if (e->mask & (IN_CLOSE | IN_Q_OVERFLOW))
                openCounted_ = false;
            if (e->mask & IN_Q_OVERFLOW)
                opened = true;
            if ((e->mask & IN_OPEN) && !std::exchange(openCounted_, false))
                opened = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    // A close the level missed (the peer opened again before we looked) is
    // not flushed after: by now the bytes for the new opener, a probe's
    // answer say, may be there too.
    if (opened)
        PeerOpened();
}

void ClockSimulator::ReadIncoming()
{
    char buf[512];
    std::string stray;
    for (;;) {
        const ssize_t n = ::read(line_.Fd(), buf, sizeof buf);
        if (n > 0) {
            const auto at = Clock::now();
            gotByte_ = true;
            for (ssize_t i = 0; i < n; ++i) {
                const auto b = static_cast<std::uint8_t>(buf[i]);
                if (partial_.empty() && b != clocklink::kRequestStart && b != clocklink::kAnswerStart)
                    stray.push_back(static_cast<char>(b));
                else
                    FeedIncoming(b, at);
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        // A pty master reads EIO once the slave is closed and drained.
        if (line_.GetKind() == Line::Kind::Pty && errno == EIO)
            break;
        ThrowErrno("read from " + line_.Path());
    }
    if (!stray.empty()) {
        Update([&](Stats& s) { s.strayBytes += static_cast<long>(stray.size()); });
        Log("ignored bytes outside any frame: " + Hex(stray));
    }
}

void ClockSimulator::FeedIncoming(std::uint8_t b, Clock::time_point at)
{
    partial_.push_back(static_cast<char>(b));
    partialAt_ = at;
    if (partial_.size() >= 4 && partial_.size() == 5u + static_cast<unsigned char>(partial_[3])) {
        const ByteString frame = std::move(partial_);
        partial_.clear();
        HandleIncoming(frame, at, true);
    }
}

void ClockSimulator::HandleIncoming(const ByteString& frame, Clock::time_point at, bool complete)
{
    if (complete && frame == clocklink::kProbeFrame) {
        const ByteString reply = ProbeReply();
        if (WritePiece(reply)) {
            lastProbeAt_ = Clock::now();
            Update([](Stats& s) { ++s.probesAnswered; });
            Log("probe answered");
        } else {
            Log("probe not answered: the line has closed");
        }
        return;
    }
    const std::string shown = Hex(frame) + (complete ? "" : " (incomplete)");
    if (static_cast<std::uint8_t>(frame[0]) == clocklink::kAnswerStart) {
        if (!awaited_.active) {
            Update([](Stats& s) { ++s.acksUnexpected; });
            Log("acknowledgement while none was awaited: " + shown);
            return;
        }
        const std::string which = "line " + std::to_string(awaited_.lineIndex + 1) + " (try " +
                                  std::to_string(awaited_.attempt + 1) + ")";
        if (awaited_.corrupted) {
            Update([](Stats& s) { ++s.acksWrong; });
            Log("acknowledgement for " + which + ", sent with a wrong checksum: " + shown);
            return;
        }
        if (!complete || frame != awaited_.expected) {
            Update([](Stats& s) { ++s.acksWrong; });
            Log("wrong acknowledgement for " + which + ": " + shown + ", expected " +
                Hex(awaited_.expected));
            return;
        }
        const double ms = std::chrono::duration<double, std::milli>(at - awaited_.checksumSentAt).count();
        awaited_.active = false;
        Update([&](Stats& s) {
            ++s.acksReceived;
            s.ackLatenciesMs.push_back(ms);
        });
        return;
    }
    Update([](Stats& s) { ++s.otherFrames; });
    Log("ignored frame: " + shown);
}

void ClockSimulator::PeerOpenedByLevel()
{
    // Its open event may still be on its way to the watch.
    PeerOpened();
    openCounted_ = line_.WatchFd() >= 0;
}

void ClockSimulator::PeerOpened()
{
    openCounted_ = false;
    ++epoch_;
    peerOpen_ = true;
    gotByte_ = false;
    openedAt_ = Clock::now();
    partial_.clear();
    Update([](Stats& s) { ++s.peerOpens; });
    Log("line opened by the peer");
}

void ClockSimulator::PeerClosed()
{
    peerOpen_ = false;
    openCounted_ = false;
    partial_.clear();
    Log("line closed by the peer");
    // A frame written just before the close would still sit in the slave's
    // input and greet the next opener, a loft probe say, before our answer.
    const int fd = ::open(line_.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    ::tcflush(fd, TCIFLUSH);
    ::close(fd);
    if (line_.WatchFd() >= 0) {
        // The watch now holds our own open; identical events merge, so they
        // cannot be counted off. Drop them and ask the level instead.
        DropWatchEvents();
        if (PeerHasLineOpen())
            PeerOpenedByLevel();
    }
}

void ClockSimulator::DropWatchEvents()
{
    if (line_.WatchFd() < 0)
        return;
    char buf[4096];
    while (::read(line_.WatchFd(), buf, sizeof buf) > 0) {
    }
}

// A pty master reports a hang-up exactly while nobody has the slave open.
bool ClockSimulator::PeerHasLineOpen() const
{
    pollfd p{line_.Fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

} // namespace clocksim
