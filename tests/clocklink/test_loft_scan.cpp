#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <stdexcept>

#include "clocklink/loft_scan.h"

using namespace clocklink;
using std::string_literals::operator""s;

namespace {

// What each named port does when probed; shared by all probe ports.
struct World {
    std::map<std::string, std::string> replies; // port -> reply bytes
    std::map<std::string, std::string> openErrors;
    std::string closeError;                     // port whose close fails
    std::vector<std::string> probed;            // ports written to, in order
    std::vector<std::string> events;
    int live = 0;                               // probe ports in existence
    int maxLive = 0;
};
World* world = nullptr;

class FakeProbePort {
public:
    FakeProbePort()
    {
        ++world->live;
        world->maxLive = std::max(world->maxLive, world->live);
    }
    ~FakeProbePort() { --world->live; }

    void SetPort(const std::string& name) { name_ = name; }
    void SetConnected(bool on)
    {
        if (on) {
            if (world->openErrors.count(name_))
                throw std::runtime_error(world->openErrors[name_]);
            open_ = true;
            world->events.push_back("open " + name_);
        } else {
            if (!open_)
                return; // closing a port that did not open does nothing
            open_ = false;
            world->events.push_back("close " + name_);
            if (world->closeError == name_)
                throw std::runtime_error("close failed");
        }
    }
    int WriteText(const std::string& text)
    {
        EXPECT_TRUE(open_);
        EXPECT_EQ(text, std::string(kProbeFrame));
        world->probed.push_back(name_);
        return static_cast<int>(text.size());
    }
    int ReadText(std::string& text, int count)
    {
        EXPECT_EQ(count, 25);
        const std::string& reply = world->replies[name_];
        text = reply.substr(0, static_cast<std::size_t>(count));
        return static_cast<int>(text.size());
    }

private:
    std::string name_;
    bool open_ = false;
};

struct LoftScan : ::testing::Test {
    World w;
    void SetUp() override { world = &w; }
    void TearDown() override { world = nullptr; }
};

const std::string kClockReply = "\x33\x01\x01\x02\x00\x00\x39"s;

} // namespace

TEST(ReplyTest, WhichRepliesLookLikeTheClock)
{
    EXPECT_TRUE(LooksLikeLoftClock("\x33\x00\x00\x00\x00"s));
    EXPECT_TRUE(LooksLikeLoftClock("\x6C\x55\x50\x02\x01"s));
    EXPECT_TRUE(LooksLikeLoftClock("\x00\x00\x00\x00\x02"s));
    EXPECT_TRUE(LooksLikeLoftClock(kClockReply));
    EXPECT_FALSE(LooksLikeLoftClock("\x33\x00\x00\x00\x05"s));
    EXPECT_FALSE(LooksLikeLoftClock("\x6C\x00\x00\x00\x00"s));
    EXPECT_FALSE(LooksLikeLoftClock("\x33\x00\x00\x00"s)); // four bytes are never enough
    EXPECT_FALSE(LooksLikeLoftClock(""));
}

TEST_F(LoftScan, StopsAtTheFirstClockAndSkipsEmptyEntries)
{
    w.replies["A"] = "";
    w.replies["B"] = kClockReply;
    w.replies["C"] = kClockReply;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ScanForLoftClock<FakeProbePort>({"A", "", "B", "C"}), std::optional<std::string>("B"));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(w.probed, (std::vector<std::string>{"A", "B"}));
    // Each probe port is closed before the next one is made.
    EXPECT_EQ(w.events, (std::vector<std::string>{"open A", "close A", "open B", "close B"}));
    EXPECT_EQ(w.maxLive, 1);
    EXPECT_EQ(w.live, 0);
    EXPECT_GE(elapsed, std::chrono::milliseconds(200)); // 100 ms per port probed
}

TEST_F(LoftScan, PortsThatFailAreSkippedSilently)
{
    w.openErrors["busy"] = "Unable to open com port (win error code: 16)";
    w.replies["short"] = "\x33\x00\x00\x00"s;
    w.replies["long"] = std::string(24, '\x00') + "\x02"s + "tail"; // byte 4 is 0: no clock for byte 0 = 0
    w.replies["clock"] = std::string("\x6C\x55\x50\x02\x01", 5) + std::string(40, 'x');
    EXPECT_EQ(ScanForLoftClock<FakeProbePort>({"busy", "short", "long", "clock"}),
              std::optional<std::string>("clock"));
    EXPECT_EQ(w.probed, (std::vector<std::string>{"short", "long", "clock"}));
    EXPECT_EQ(ScanForLoftClock<FakeProbePort>({}), std::nullopt);
    EXPECT_EQ(ScanForLoftClock<FakeProbePort>({"", "busy"}), std::nullopt);
}

TEST_F(LoftScan, AFailingCloseEndsTheWalk)
{
    w.replies["A"] = "";
    w.replies["B"] = kClockReply;
    w.closeError = "A";
    EXPECT_THROW(ScanForLoftClock<FakeProbePort>({"A", "B"}), std::runtime_error);
    EXPECT_EQ(w.probed, std::vector<std::string>{"A"});
    EXPECT_EQ(w.live, 0);
}
