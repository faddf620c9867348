// The simulated clock against a receiver on a real pseudo-terminal.

#include <gtest/gtest.h>

#include <pty.h>

#include <algorithm>
#include <set>

#include "sim_peer.h"

using namespace simtest;
using clocksim::Options;
using std::string_literals::operator""s;

namespace {

const std::string kReply = "\x33\x01\x01\x02\x00\x00\x37"s;

Options Quick(clocksim::Printout printout)
{
    Options o;
    o.printout = std::move(printout);
    o.exitAfterPrintout = true;
    return o;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The loft scan's reading of a reply: at least 5 bytes, 0x33 ... 0x00, or
// byte 4 of 0x01 or 0x02.
bool PassesReplyTest(const std::string& r)
{
    if (r.size() < 5)
        return false;
    const auto b0 = static_cast<unsigned char>(r[0]), b4 = static_cast<unsigned char>(r[4]);
    return (b0 == 0x33 && b4 == 0x00) || b4 == 0x01 || b4 == 0x02;
}

// What a probe port sees: the reply alone, read 100 ms after the probe.
std::string Probe(PeerPort& port)
{
    port.WriteRaw(std::string(clocklink::kProbeFrame));
    std::this_thread::sleep_for(100ms);
    std::string reply;
    port.ReadText(reply, 25);
    return reply;
}

} // namespace

TEST(ClockSim, SamplePrintoutArrivesWholeWithEveryAcknowledgement)
{
    SimRun sim;
    sim.Start(Quick({})); // empty: the built-in report
    TinyQuillprint qp(sim.Line().Path());
    ASSERT_TRUE(qp.port.IsOpen());
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 120s));

    const auto& sample = clocksim::SamplePrintout();
    EXPECT_EQ(qp.Rows(), SheetOf(sample));
    const clocksim::Stats s = sim.Join();
    const long lines = static_cast<long>(sample.size());
    EXPECT_EQ(s.framesSent, lines);
    EXPECT_EQ(s.acksReceived, lines);
    EXPECT_EQ(s.acksWrong + s.acksUnexpected + s.ackTimeouts + s.framesResent, 0);
    EXPECT_EQ(s.printoutsCompleted, 1);
    EXPECT_EQ(qp.port.written.size(), sample.size());
    ASSERT_EQ(s.ackLatenciesMs.size(), sample.size());
    // The receiver holds each acknowledgement back 50 ms.
    EXPECT_GE(*std::min_element(s.ackLatenciesMs.begin(), s.ackLatenciesMs.end()), 50.0);
    EXPECT_EQ(sim.Log().find("wrong"), std::string::npos) << sim.Log();
}

TEST(ClockSim, SendsNothingUntilThePeerHasOpenedAndSettled)
{
    SimRun sim;
    Options o = Quick(ShortPrintout(3));
    o.settleMs = 300;
    sim.Start(o);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(sim.Snapshot().framesSent, 0);

    const auto opened = Clock::now();
    TinyQuillprint qp(sim.Line().Path());
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 30s));
    ASSERT_FALSE(qp.port.chunks.empty());
    // Nothing was left waiting in the pty for the opener either.
    EXPECT_GE(Ms(qp.port.chunks.front().at - opened), 290.0);
    EXPECT_EQ(qp.Rows(), SheetOf(ShortPrintout(3)));
}

TEST(ClockSim, AnswersTheProbeOnOpeningAndWhilePlaying)
{
    SimRun sim;
    const auto printout = ShortPrintout(10);
    sim.Start(Quick(printout));
    TinyQuillprint qp(sim.Line().Path());

    // First thing after opening, as the loft scan does it.
    const std::string reply = Probe(qp.port);
    EXPECT_EQ(reply, kReply);
    EXPECT_TRUE(PassesReplyTest(reply));
    EXPECT_EQ(clocksim::ProbeReply(), kReply);

    ASSERT_TRUE(qp.PumpUntil([&] { return qp.sheet.RowCount() >= 4; }, 30s));
    qp.port.WriteRaw(std::string(clocklink::kProbeFrame));
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 30s));
    EXPECT_EQ(qp.Rows(), SheetOf(printout));

    // The second answer came whole, between two line frames.
    const auto frames = SplitFrames(qp.port.raw);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), kReply), 2);
    for (const auto& f : frames)
        EXPECT_TRUE(ChecksumOk(f)) << f;
    const clocksim::Stats s = sim.Join();
    EXPECT_EQ(s.probesAnswered, 2);
    EXPECT_EQ(s.acksReceived, static_cast<long>(printout.size()));
}

// Line 1 gets wrong acknowledgements, line 2 none, line 3 the right one.
TEST(ClockSim, UnacknowledgedFramesGoAgainAfterTheTimeoutAFewTimesOnly)
{
    SimRun sim;
    const auto printout = ShortPrintout(3);
    Options o = Quick(printout);
    o.ackTimeoutMs = 400;
    o.maxResends = 2;
    sim.Start(o);
    TinyQuillprint qp(sim.Line().Path());
    int acks = 0;
    qp.port.tamper = [&](const std::string& ack) -> std::optional<std::string> {
        ++acks;
        if (acks > 6)
            return ack;
        if (acks > 3)
            return std::nullopt;
        std::string bad = ack;
        bad.back() = static_cast<char>(bad.back() + 1);
        return bad;
    };
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 30s));

    const auto frames = SplitFrames(qp.port.raw);
    ASSERT_EQ(frames.size(), 7u);
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], clocklink::MakeFrame(0x6C, 'U', 'P', printout[std::min<std::size_t>(i / 3, 2)]));
    // Each try waited out the timeout after the one before (less what a late
    // read of the earlier frame takes off).
    const auto at = FrameArrivals(qp.port);
    for (std::size_t i : {1u, 2u, 4u, 5u})
        EXPECT_GE(Ms(at[i] - at[i - 1]), 300.0) << "frame " << i + 1;
    // Every try was a correct frame, so the receiver took each one.
    std::vector<std::string> rows{"@"};
    for (std::size_t i = 0; i < frames.size(); ++i)
        for (auto& r : clocksim::ExpectedRows({printout[std::min<std::size_t>(i / 3, 2)]}))
            rows.push_back(r);
    EXPECT_EQ(qp.Rows(), rows);

    const clocksim::Stats s = sim.Join();
    EXPECT_EQ(s.framesSent, 7);
    EXPECT_EQ(s.framesResent, 4);
    EXPECT_EQ(s.acksWrong, 3);
    EXPECT_EQ(s.ackTimeouts, 6);
    EXPECT_EQ(s.framesGivenUp, 2);
    EXPECT_EQ(s.acksReceived, 1);
    EXPECT_EQ(s.printoutsCompleted, 1);
    const std::string log = sim.Log();
    EXPECT_NE(log.find("wrong acknowledgement for line 1 (try 1): 33 55 50 02 00 00 DB, "
                       "expected 33 55 50 02 00 00 DA"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("no acknowledgement for line 2 within 400 ms (try 3 of 3)"), std::string::npos);
    EXPECT_NE(log.find("line 2 given up"), std::string::npos);
}

TEST(ClockSim, BadEveryCorruptsExactlyEveryNthLineFrame)
{
    SimRun sim;
    const auto printout = ShortPrintout(10);
    Options o = Quick(printout);
    o.badEvery = 3;
    o.ackTimeoutMs = 500;
    sim.Start(o);
    TinyQuillprint qp(sim.Line().Path());
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 60s));

    // Sends 1 2 3x 3 4 5x 5 6 7x 7 8 9x 9 10: each bad one is sent again.
    const auto frames = SplitFrames(qp.port.raw);
    ASSERT_EQ(frames.size(), 14u);
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(ChecksumOk(frames[i]), (i + 1) % 3 != 0) << "frame " << i + 1;
    EXPECT_EQ(qp.Rows(), SheetOf(printout));

    const clocksim::Stats s = sim.Join();
    EXPECT_EQ(s.framesCorrupted, 4);
    EXPECT_EQ(s.framesSent, 14);
    EXPECT_EQ(s.acksReceived, 10);
    EXPECT_EQ(s.acksWrong, 0);
}

TEST(ClockSim, AnAcknowledgementOfACorruptedFrameCountsAsWrong)
{
    SimRun sim;
    Options o = Quick(ShortPrintout(4));
    o.badEvery = 2;
    o.ackTimeoutMs = 400;
    sim.Start(o);
    PeerPort port(sim.Line().Path());
    // A careless receiver: answers every line frame, checksum or not.
    std::size_t seen = 0;
    const auto end = Clock::now() + 30s;
    while (!sim.WaitFinished(0ms) && Clock::now() < end) {
        if (port.WaitReadable(20)) {
            std::string got;
            port.ReadText(got, port.Pending());
        }
        const auto frames = SplitFrames(port.raw);
        for (; seen < frames.size() && frames[seen].size() >= 5; ++seen)
            port.WriteRaw(clocklink::WithChecksum(clocklink::AckBody(frames[seen][1], frames[seen][2])));
    }
    const clocksim::Stats s = sim.Join();
    EXPECT_EQ(s.framesCorrupted, 3); // sends 1 2x 2 3x 3 4x 4
    EXPECT_EQ(s.acksWrong, 3);
    EXPECT_EQ(s.acksReceived, 4);
    EXPECT_NE(sim.Log().find("sent with a wrong checksum"), std::string::npos);
}

TEST(ClockSim, SplitFramesArriveInPiecesAndWhole)
{
    SimRun sim;
    const auto printout = ShortPrintout(16);
    Options o = Quick(printout);
    o.split = true;
    o.splitGapMs = 20; // wide enough for a busy reader to see each piece
    sim.Start(o);
    TinyQuillprint qp(sim.Line().Path());
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 60s));
    EXPECT_EQ(qp.Rows(), SheetOf(printout));

    // Reads that stop inside a frame: the receiver saw the pieces.
    std::set<std::size_t> frameEnds;
    std::size_t at = 0;
    for (const auto& f : SplitFrames(qp.port.raw))
        frameEnds.insert(at += f.size());
    int midFrame = 0;
    at = 0;
    for (const auto& c : qp.port.chunks)
        midFrame += frameEnds.count(at += c.size) == 0;
    EXPECT_GE(midFrame, 8);

    const clocksim::Stats s = sim.Join();
    EXPECT_GE(s.writes, 2 * s.framesSent);
    EXPECT_LE(s.writes, 4 * s.framesSent);
    EXPECT_EQ(s.acksReceived, 16);
}

TEST(ClockSim, PacingKeepsToNinetySixHundredBaud)
{
    SimRun sim;
    clocksim::Printout printout{std::string(255, 'x')};
    Options o = Quick(printout);
    o.pace = true;
    sim.Start(o);
    TinyQuillprint qp(sim.Line().Path());
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 30s));
    EXPECT_EQ(qp.Rows(), SheetOf(printout));
    ASSERT_EQ(qp.port.raw.size(), 260u);
    // 260 bytes of 10 bits take 271 ms; a late first read may shave a little
    // off what the reader sees, but not a faster rate's worth.
    EXPECT_GE(Ms(qp.port.chunks.back().at - qp.port.chunks.front().at), 230.0);
    EXPECT_GE(qp.port.chunks.size(), 5u); // trickled, not in one piece
}

TEST(ClockSim, MixedFramesAreAcknowledgedByKind)
{
    SimRun sim;
    const auto printout = ShortPrintout(8);
    Options o = Quick(printout);
    o.mix = true;
    sim.Start(o);
    TinyQuillprint qp(sim.Line().Path());
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 30s));
    qp.Drain(); // the last line is a "Q" frame: nothing waits for it
    EXPECT_EQ(qp.Rows(), SheetOf(printout));

    const auto frames = SplitFrames(qp.port.raw);
    ASSERT_EQ(frames.size(), 8u);
    int t = 0, q = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto kind = clocksim::FrameKindOf(i, true);
        EXPECT_EQ(frames[i][1], static_cast<char>(kind.subCode));
        EXPECT_EQ(frames[i][2], static_cast<char>(kind.command));
        t += frames[i][1] == 'T';
        q += frames[i][2] == 'Q';
    }
    EXPECT_EQ(t, 2);
    EXPECT_EQ(q, 2);
    EXPECT_EQ(qp.port.written.size(), 6u);
    const clocksim::Stats s = sim.Join();
    EXPECT_EQ(s.framesSent, 8);
    EXPECT_EQ(s.acksReceived, 6);
    EXPECT_EQ(s.ackTimeouts + s.acksUnexpected + s.acksWrong, 0);
}

TEST(ClockSim, APeerThatLeavesMidPrintoutGetsItAgainFromTheTopNextTime)
{
    SimRun sim;
    const auto printout = ShortPrintout(8);
    Options o;
    o.printout = printout;
    sim.Start(o);
    {
        TinyQuillprint first(sim.Line().Path());
        ASSERT_TRUE(first.PumpUntil([&] { return first.sheet.RowCount() >= 4; }, 30s));
    }
    ASSERT_TRUE(sim.WaitStats([](const clocksim::Stats& s) { return s.printoutsInterrupted == 1; }, 10s));
    const long sentBefore = sim.Snapshot().framesSent;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim.Snapshot().framesSent, sentBefore); // nobody there, nothing sent

    const auto opened = Clock::now();
    TinyQuillprint second(sim.Line().Path());
    ASSERT_TRUE(second.PumpUntil(
        [&] { return sim.Snapshot().printoutsCompleted == 1; }, 30s));
    EXPECT_EQ(second.Rows(), SheetOf(printout));
    EXPECT_GE(Ms(second.port.chunks.front().at - opened), 290.0);
    const clocksim::Stats s = sim.Join();
    EXPECT_EQ(s.peerOpens, 2);
}

// The loft button while connected: close, open a probe port, probe, close,
// open again, all at once. Every opening is seen, and the new connection
// gets the whole printout.
TEST(ClockSim, LoftScanWhileConnectedStartsAFreshPrintout)
{
    SimRun sim;
    const auto printout = ShortPrintout(8);
    Options o;
    o.printout = printout;
    sim.Start(o);
    auto first = std::make_unique<TinyQuillprint>(sim.Line().Path());
    ASSERT_TRUE(first->PumpUntil([&] { return first->sheet.RowCount() >= 3; }, 30s));

    first.reset();
    std::string reply;
    {
        PeerPort probe(sim.Line().Path());
        reply = Probe(probe);
    }
    TinyQuillprint second(sim.Line().Path());
    EXPECT_EQ(reply, kReply);
    const bool done = second.PumpUntil([&] { return sim.Snapshot().printoutsCompleted == 1; }, 30s);
    const clocksim::Stats s = sim.Join();
    ASSERT_TRUE(done) << sim.Log();
    EXPECT_EQ(second.Rows(), SheetOf(printout));
    EXPECT_EQ(s.peerOpens, 3) << sim.Log();
    EXPECT_EQ(s.probesAnswered, 1) << sim.Log();
}

TEST(ClockSim, LoopPlaysAgainWhileTheLineStaysOpen)
{
    SimRun sim;
    const auto printout = ShortPrintout(2);
    Options o;
    o.printout = printout;
    o.loop = true;
    o.loopGapMs = 100;
    o.repeat = 2;
    sim.Start(o);
    TinyQuillprint qp(sim.Line().Path());
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.Snapshot().printoutsCompleted >= 2; }, 30s));
    const clocksim::Stats s = sim.Join();
    EXPECT_GE(s.acksReceived, 8); // two rounds of two copies
    std::vector<std::string> expected{"@"};
    for (int i = 0; i < 4; ++i)
        for (auto& r : clocksim::ExpectedRows(printout))
            expected.push_back(r);
    auto rows = qp.Rows();
    ASSERT_GE(rows.size(), expected.size());
    rows.resize(expected.size());
    EXPECT_EQ(rows, expected);
}

TEST(ClockSim, StopEndsTheRunPromptly)
{
    SimRun sim;
    Options o;
    o.ackTimeoutMs = 60'000;
    sim.Start(o);
    TinyQuillprint qp(sim.Line().Path());
    qp.port.tamper = [](const std::string&) -> std::optional<std::string> { return std::nullopt; };
    ASSERT_TRUE(qp.PumpUntil([&] { return qp.sheet.RowCount() >= 2; }, 30s));
    const auto asked = Clock::now();
    sim.Join();
    EXPECT_LT(Ms(Clock::now() - asked), 2000.0);
}

// A serial device: here the slave side of a pty the test holds the master of.
TEST(ClockSim, DeviceLineWaitsForAFirstByteWhenAsked)
{
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    SimRun sim(clocksim::Line::OpenDevice(name));
    const auto printout = ShortPrintout(3);
    Options o = Quick(printout);
    o.waitForByte = true;
    sim.Start(o);

    TinyQuillprint qp(master);
    qp.PumpFor(500ms);
    EXPECT_TRUE(qp.port.raw.empty());
    EXPECT_EQ(Probe(qp.port), kReply);
    ASSERT_TRUE(qp.PumpUntil([&] { return sim.WaitFinished(0ms); }, 30s));
    EXPECT_EQ(qp.Rows(), SheetOf(printout));
    EXPECT_EQ(sim.Join().acksReceived, 3);
}

TEST(ClockSim, ADeviceThatHangsUpEndsTheRun)
{
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    SimRun sim(clocksim::Line::OpenDevice(name));
    sim.allowError = true;
    sim.Start(Options{});
    std::this_thread::sleep_for(100ms);
    ::close(master); // the slave the simulator holds hangs up
    ASSERT_TRUE(sim.WaitFinished(10s));
    EXPECT_NE(sim.Error().find("hung up"), std::string::npos) << sim.Error();
}

TEST(ClockSim, RejectsLinesTooLongForAFrame)
{
    auto line = clocksim::Line::CreatePty();
    Options o;
    o.printout = {std::string(256, 'x')};
    EXPECT_THROW(clocksim::ClockSimulator(line, o), std::invalid_argument);
}
