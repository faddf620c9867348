#pragma once
// A simulated loft clock for trying Quillprint without one and for tests
// that need a peer on the line. It answers the loft probe and plays a
// printout as line frames, waiting for each acknowledgement.
//
// How it behaves on a pty:
// - It writes nothing while nobody has the slave open (bytes would wait
//   there for the next opener). Opens and closes are seen on an inotify
//   watch of the slave, so a close and a quick reopen (the loft scan while
//   connected) still count as a close and a new opening; the master's
//   hang-up tells whether the slave is open now.
// - A pty keeps what the peer had not read when it closed, unlike a real
//   port; the clock throws that away when it sees the slave closed. A line
//   frame sent in the moment the peer closes still reaches a peer that opens
//   again before the clock has looked (a clock on a real line would be
//   talking over that peer's probe too).
// - Each opening gets the printout from its first line, once the line has
//   been open and free of probes for the settle time: a loft probe reads
//   the answer alone, never a line frame before it.
// - A probe is answered whenever it comes, between two frames at worst.
// - A frame that asks for an acknowledgement waits for exactly 33 s c 02 00
//   00 + checksum; anything else is counted and logged as wrong. After the
//   timeout the frame goes again, up to the resend limit; then the clock
//   gives the line up and goes on with the next.
//
// Usage from a test:
//   clocksim::Line line = clocksim::Line::CreatePty();
//   clocksim::ClockSimulator sim(line, options);
//   std::atomic<bool> stop{false};
//   std::thread t([&] { sim.Run(stop); });
//   ... open line.SlavePath() as the program under test does ...
//   stop = true; t.join();

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "clocklink/port_ops.h"

namespace clocksim {

using clocklink::ByteString;

// One entry per line frame: the line's bytes in Windows-1252. A page's last
// line carries a form feed byte.
using Printout = std::vector<ByteString>;

// The built-in race report (three pages).
const Printout& SamplePrintout();

// Turns a text file into a printout, one line frame per line:
// - CR before LF is dropped, tabs are expanded to 8 columns;
// - form feeds that open a line (the usual place in paginated text) are
//   moved to the end of the line before, so the page ends where it should;
//   a line holding nothing but form feeds adds no row;
// - a line longer than a frame's 255 payload bytes is carried by several
//   frames rather than cut short.
// With utf8 set, the text is converted to Windows-1252 first; characters
// that code page lacks become "?". Each change worth knowing is added to
// notes, when given.
Printout PrintoutFromText(std::string_view text, bool utf8, std::vector<std::string>* notes = nullptr);

// UTF-8 to Windows-1252; unmappable characters and malformed bytes become
// "?" and are counted in *replaced when given.
ByteString Utf8ToWindows1252(std::string_view text, std::size_t* replaced = nullptr);

// The rows a correct receiver makes of the printout: each line without its
// control bytes and "@", then a page marker row "@" after a line that held
// a form feed.
std::vector<ByteString> ExpectedRows(const Printout& printout);

// The clock's reply to the probe: 33 01 01 02 00 00 + checksum.
ByteString ProbeReply();

// The serial line the clock sits on: the master side of a pseudo-terminal
// (whose other side the program under test opens), or a real serial device.
class Line {
public:
    enum class Kind { Pty, Device };

    // A new pseudo-terminal. Its slave is set raw and opened and closed
    // once, so that the master reports a hang-up until the peer opens it.
    static Line CreatePty();
    // A serial device set to 9600 8N1, raw, no flow control.
    static Line OpenDevice(const std::string& path);

    Line() = default;
    Line(Line&& other) noexcept;
    Line& operator=(Line&& other) noexcept;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    ~Line();

    int Fd() const { return fd_; }
    Kind GetKind() const { return kind_; }
    // Path of the slave end (pty) or of the device.
    const std::string& Path() const { return path_; }
    // inotify descriptor watching the slave for opens, or -1.
    int WatchFd() const { return watchFd_; }

private:
    void Close();

    int fd_ = -1;
    int watchFd_ = -1;
    Kind kind_ = Kind::Pty;
    std::string path_;
};

struct Options {
    Printout printout;           // defaults to the sample when left empty
    int repeat = 1;              // copies of the printout per round
    bool loop = false;           // play round after round while the peer listens
    int loopGapMs = 2000;        // pause between rounds
    bool exitAfterPrintout = false; // Run returns after the first complete round
    bool mix = false;            // also "P"/"T" and "Q" frames, see FrameKindOf
    int badEvery = 0;            // corrupt the checksum of every Nth line frame sent
    bool split = false;          // write each line frame in several pieces
    int splitGapMs = 5;          // pause between the pieces
    bool pace = false;           // write no faster than 9600 baud 8N1 carries
    int ackTimeoutMs = 1000;     // wait for an acknowledgement, per try
    int maxResends = 3;          // further tries after the first
    int settleMs = 300;          // quiet time after an open and after a probe
    int lineGapMs = 0;           // pause after each line
    unsigned seed = 1;           // split points
    // A pty is always waited for until the peer opens it; this also waits
    // for a first byte from the peer (its probe, say), the one sign of life
    // a device line gives.
    bool waitForByte = false;
};

// Sub-code and command of line i (0-based). Without mix every line is a "P"
// frame with sub-code "U"; with mix the lines cycle P/U, P/T, P/U, Q/U.
struct FrameKind {
    std::uint8_t subCode;
    std::uint8_t command;
    bool acknowledged;
};
FrameKind FrameKindOf(std::size_t lineIndex, bool mix);

struct Stats {
    long framesSent = 0;        // line frame transmissions, resends included
    long framesResent = 0;
    long framesCorrupted = 0;   // sent with a wrong checksum on purpose
    long framesGivenUp = 0;     // no acknowledgement after the last try
    long writes = 0;            // write calls that carried line frames
    long acksReceived = 0;      // correct, for the frame awaited
    long acksWrong = 0;         // not byte for byte the acknowledgement awaited
    long acksUnexpected = 0;    // acknowledgements while none was awaited
    long ackTimeouts = 0;
    long probesAnswered = 0;
    long otherFrames = 0;       // complete frames that are neither
    long strayBytes = 0;        // bytes outside any frame
    long linesPlayed = 0;       // lines done (acknowledged, given up or unacknowledged kind)
    long printoutsCompleted = 0;
    long printoutsInterrupted = 0; // the peer went away mid-printout
    long peerOpens = 0;
    std::vector<double> ackLatenciesMs;
};

// The figures printed on exit, one "name: value unit" line each.
std::vector<std::string> FormatStats(const Stats& stats);
double Median(std::vector<double> values);
double Percentile(std::vector<double> values, double p); // nearest rank

class ClockSimulator {
public:
    // The line is not owned; it must outlive Run. log (optional) gets one
    // line per event worth knowing: opens, closes, wrong acknowledgements.
    ClockSimulator(const Line& line, Options options, std::ostream* log = nullptr);

    // Serves the line until stop is set (checked at least every 20 ms) or,
    // with exitAfterPrintout, a round is complete. Returns the final figures.
    // Throws std::system_error when the line fails (not when a pty peer
    // merely closes it).
    Stats Run(const std::atomic<bool>& stop);

    // A copy of the figures so far; safe from any thread.
    Stats Snapshot() const;

private:
    using Clock = std::chrono::steady_clock;
    enum class Outcome { Done, Aborted };

    struct AwaitedAck {
        bool active = false;
        bool corrupted = false;
        ByteString expected;
        Clock::time_point checksumSentAt;
        std::size_t lineIndex = 0;
        int attempt = 0;
    };

    template <class Fn> void Update(Fn fn);
    void Log(const std::string& text);
    bool Aborted(long epoch) const;

    // Waits for line events and handles what comes in until the deadline,
    // until done() holds, or until stop.
    template <class Done> void Service(Clock::time_point deadline, Done done);
    void PollOnce(int timeoutMs);
    void CheckWatch();
    void ReadIncoming();
    void FeedIncoming(std::uint8_t b, Clock::time_point at);
    void HandleIncoming(const ByteString& frame, Clock::time_point at, bool complete);
    void PeerOpened();
    void PeerOpenedByLevel();
    void DropWatchEvents();
    bool PeerHasLineOpen() const;
    void PeerClosed();

    bool WaitForPeer();
    bool Settle(long epoch);
    Outcome PlayRound(long epoch);
    Outcome PlayLine(std::size_t index, long epoch);
    // Writes the bytes (paced, and split when asked); false when the peer
    // went away first. sentAt is when the write of the last byte began.
    bool WriteFrame(const ByteString& bytes, bool split, Clock::time_point* sentAt);
    bool WritePiece(std::string_view bytes);
    bool LineUsable();

    const Line& line_;
    Options opt_;
    std::ostream* log_;
    const std::atomic<bool>* stop_ = nullptr;

    mutable std::mutex statsMutex_;
    Stats stats_;

    bool peerOpen_ = false;
    // An open found by the hang-up level after the watch was emptied; its
    // own open event, if it comes, is not a second one.
    bool openCounted_ = false;
    long epoch_ = 0; // bumped at every fresh open of the line
    bool gotByte_ = false;
    Clock::time_point openedAt_{};
    Clock::time_point lastProbeAt_{};
    ByteString partial_;
    Clock::time_point partialAt_{};
    AwaitedAck awaited_;
    long lineTransmissions_ = 0;
    Clock::time_point lineFreeAt_{};
    Clock::time_point lastWriteAt_{}; // start of the latest write call
    std::mt19937 rng_;
};

} // namespace clocksim
