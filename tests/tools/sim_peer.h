#pragma once
// The other end of the simulated clock's line: a tiny Quillprint that runs
// the real frame receiver over a pty slave, keeps every byte it read and
// every acknowledgement it wrote, and can tamper with its acknowledgements.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "clocklink/frame.h"
#include "clocklink/receiver.h"
#include "printout/sheet.h"
#include "tools/clock_sim.h"

namespace simtest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Chunk {
    Clock::time_point at;
    std::size_t size;
};

class PeerPort final : public clocklink::ClockPortOps {
public:
    explicit PeerPort(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    explicit PeerPort(int fd) : fd_(fd) {}
    ~PeerPort() override { Close(); }

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // Decides what goes out instead of an acknowledgement; nullopt drops it.
    std::function<std::optional<std::string>(const std::string&)> tamper;

    int WriteText(const clocklink::ByteString& text) override
    {
        written.push_back(text);
        std::string out = text;
        if (tamper) {
            auto t = tamper(text);
            if (!t)
                return static_cast<int>(text.size());
            out = *t;
        }
        WriteRaw(out);
        return static_cast<int>(text.size());
    }

    void WriteRaw(const std::string& out)
    {
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(fd_, out.data() + done, out.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 20);
            }
        }
    }

    int ReadText(clocklink::ByteString& text, int count) override
    {
        text.assign(static_cast<std::size_t>(std::max(count, 0)), '\0');
        ssize_t n = count > 0 ? ::read(fd_, text.data(), text.size()) : 0;
        if (n < 0)
            n = 0;
        text.resize(static_cast<std::size_t>(n));
        if (n > 0) {
            raw += text;
            chunks.push_back({Clock::now(), static_cast<std::size_t>(n)});
        }
        return static_cast<int>(n);
    }

    int Pending() const
    {
        int n = 0;
        ::ioctl(fd_, FIONREAD, &n);
        return n;
    }

    bool WaitReadable(int ms) const
    {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0 && (p.revents & POLLIN);
    }

    std::string raw;                  // every byte read, in order
    std::vector<Chunk> chunks;        // one per read
    std::vector<std::string> written; // what the receiver asked to send

private:
    int fd_ = -1;
};

// The receiver of the real program on the peer's port.
struct TinyQuillprint {
    explicit TinyQuillprint(const std::string& path) : port(path) { sheet.ResetSheet(); }
    explicit TinyQuillprint(int fd) : port(fd) { sheet.ResetSheet(); }

    PeerPort port;
    printout::PrintoutSheet sheet;
    clocklink::FrameReceiver rx{port, sheet, [](clocklink::LampColor) {},
                                [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }};

    // Handles events until done() or the time limit; returns done().
    template <class Done> bool PumpUntil(Done done, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() >= end)
                return false;
            if (port.WaitReadable(20)) {
                const int n = port.Pending();
                if (n > 0)
                    rx.ComPort1RxChar(n);
            }
        }
        return true;
    }

    // Takes in what is still on the way: until the line has been quiet a while.
    void Drain()
    {
        while (port.WaitReadable(200)) {
            const int n = port.Pending();
            if (n > 0)
                rx.ComPort1RxChar(n);
        }
    }

    void PumpFor(std::chrono::milliseconds span)
    {
        PumpUntil([] { return false; }, span);
    }

    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows;
        for (int i = 0; i < sheet.RowCount(); ++i)
            rows.emplace_back(sheet.RowText(i));
        return rows;
    }
};

// What a fresh sheet holds once the whole printout has arrived.
inline std::vector<std::string> SheetOf(const clocksim::Printout& printout)
{
    std::vector<std::string> rows{"@"};
    for (auto& r : clocksim::ExpectedRows(printout))
        rows.push_back(r);
    return rows;
}

// Cuts a byte stream into frames by the length byte.
inline std::vector<std::string> SplitFrames(const std::string& raw)
{
    std::vector<std::string> frames;
    std::size_t i = 0;
    while (i < raw.size()) {
        const auto b = static_cast<unsigned char>(raw[i]);
        if (b != clocklink::kRequestStart && b != clocklink::kAnswerStart) {
            frames.push_back(raw.substr(i, 1)); // shows up as garbage in a comparison
            ++i;
            continue;
        }
        if (i + 4 > raw.size())
            break;
        const std::size_t len = 5 + static_cast<unsigned char>(raw[i + 3]);
        if (i + len > raw.size())
            break;
        frames.push_back(raw.substr(i, len));
        i += len;
    }
    return frames;
}

// When the last byte of each complete frame was read.
inline std::vector<Clock::time_point> FrameArrivals(const PeerPort& port)
{
    std::vector<Clock::time_point> at;
    std::size_t end = 0, read = 0, chunk = 0;
    for (const auto& f : SplitFrames(port.raw)) {
        end += f.size();
        while (read < end && chunk < port.chunks.size())
            read += port.chunks[chunk++].size;
        at.push_back(port.chunks[chunk - 1].at);
    }
    return at;
}

inline bool ChecksumOk(const std::string& frame)
{
    return frame.size() >= 5 &&
           clocklink::Checksum(std::string_view(frame).substr(0, frame.size() - 1)) ==
               static_cast<unsigned char>(frame.back());
}

// A few lines with umlauts and two page ends.
inline clocksim::Printout ShortPrintout(int lines = 8)
{
    clocksim::Printout p;
    for (int i = 1; i <= lines; ++i) {
        std::string l = "Zeile " + std::to_string(i) + " M\xFC" "ller 11:2" + std::to_string(i % 10) + ":00";
        if (i == lines / 2 || i == lines)
            l += '\f';
        p.push_back(l);
    }
    return p;
}

// The simulator on its own thread, on a fresh pty (or a given line).
class SimRun {
public:
    SimRun() : line_(clocksim::Line::CreatePty()) {}
    explicit SimRun(clocksim::Line line) : line_(std::move(line)) {}
    ~SimRun() { Join(); }

    const clocksim::Line& Line() const { return line_; }

    void Start(clocksim::Options options)
    {
        sim_ = std::make_unique<clocksim::ClockSimulator>(line_, std::move(options), &log_);
        thread_ = std::thread([this] {
            try {
                result_ = sim_->Run(stop_);
            } catch (const std::exception& e) {
                error_ = e.what();
                if (!allowError)
                    ADD_FAILURE() << "simulator failed: " << e.what();
            }
            finished_ = true;
        });
    }

    bool WaitFinished(std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (!finished_ && Clock::now() < end)
            std::this_thread::sleep_for(5ms);
        return finished_;
    }

    template <class Pred> bool WaitStats(Pred pred, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (!pred(sim_->Snapshot())) {
            if (Clock::now() >= end)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    clocksim::Stats Snapshot() const { return sim_->Snapshot(); }

    clocksim::Stats Join()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return result_;
    }

    // Only after Join.
    std::string Log() const { return log_.str(); }
    // Only once finished.
    const std::string& Error() const { return error_; }

    // Set before Start when Run is meant to fail.
    bool allowError = false;

private:
    clocksim::Line line_;
    std::ostringstream log_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::unique_ptr<clocksim::ClockSimulator> sim_;
    clocksim::Stats result_;
    std::string error_;
    std::thread thread_;
};

} // namespace simtest
