// The built-in report and turning text files into printouts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tools/clock_sim.h"

using clocksim::Printout;
using clocksim::PrintoutFromText;
using std::string_literals::operator""s;

TEST(ClockSimPrintout, SampleIsAMultiPageReportInWindows1252)
{
    const Printout& p = clocksim::SamplePrintout();
    ASSERT_GE(p.size(), 40u);
    int pages = 0;
    bool umlaut = false, high = false;
    for (const auto& line : p) {
        EXPECT_LE(line.size(), 255u);
        const auto ff = line.find('\f');
        if (ff != std::string::npos) {
            ++pages;
            EXPECT_EQ(ff, line.size() - 1) << "the form feed closes the line: " << line;
        }
        for (unsigned char c : line) {
            EXPECT_TRUE(c >= 0x20 || c == '\f') << "control byte in " << line;
            EXPECT_NE(c, '@') << "would never reach the sheet: " << line;
            umlaut |= c == 0xFC || c == 0xF6 || c == 0xE4 || c == 0xDC;
            high |= c >= 0x80;
        }
    }
    EXPECT_GE(pages, 3);
    EXPECT_NE(p.back().find('\f'), std::string::npos) << "the last page ends too";
    EXPECT_TRUE(umlaut);
    EXPECT_TRUE(high);
    // Rows of arrivals: ring number, time, speed.
    const auto rows = std::count_if(p.begin(), p.end(), [](const std::string& l) {
        return l.find("DV-04711-") != std::string::npos && l.find(':') != std::string::npos &&
               l.find(',') != std::string::npos;
    });
    EXPECT_GE(rows, 30);
}

TEST(ClockSimPrintout, SampleSurvivesItsOwnTextForm)
{
    // What --print-sample writes plays back as the same frames.
    std::string text;
    for (const auto& l : clocksim::SamplePrintout())
        text += l + '\n';
    EXPECT_EQ(PrintoutFromText(text, false), clocksim::SamplePrintout());
}

TEST(ClockSimPrintout, TextLinesBecomeFramesAndFormFeedsEndTheLineBefore)
{
    std::vector<std::string> notes;
    const Printout p = PrintoutFromText(
        "\fHead\r\nA\tB\n\fPage 2\nlast of 2\n\f\nPage 3\fx\n\n"s, false, &notes);
    const Printout expected{"Head", "A       B\f", "Page 2", "last of 2\f", "Page 3\fx", ""};
    EXPECT_EQ(p, expected);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("before the first line"), std::string::npos);

    EXPECT_TRUE(PrintoutFromText("", false).empty());
    EXPECT_EQ(PrintoutFromText("no newline", false), Printout{"no newline"});
    // Two form feeds in a row end one page: the receiver marks one per line.
    EXPECT_EQ(PrintoutFromText("a\n\f\n\f\nb", false), (Printout{"a\f", "b"}));
}

TEST(ClockSimPrintout, LongLinesTakeSeveralFramesAndLoseNothing)
{
    std::vector<std::string> notes;
    const std::string longLine(600, 'x');
    const Printout p = PrintoutFromText(longLine + "\n\fnext", false, &notes);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].size(), 255u);
    EXPECT_EQ(p[1].size(), 255u);
    EXPECT_EQ(p[2], std::string(90, 'x') + '\f');
    EXPECT_EQ(p[3], "next");
    EXPECT_EQ(notes.size(), 1u);

    // A page end after a full frame needs a frame of its own for the room.
    const Printout full = PrintoutFromText(std::string(255, 'y') + "\n\f", false);
    ASSERT_EQ(full.size(), 2u);
    EXPECT_EQ(full[0], std::string(254, 'y'));
    EXPECT_EQ(full[1], "y\f");
    for (const auto& l : full)
        EXPECT_LE(l.size(), 255u);
}

TEST(ClockSimPrintout, Utf8TextIsConvertedToWindows1252)
{
    std::size_t replaced = 0;
    EXPECT_EQ(clocksim::Utf8ToWindows1252("M\xC3\xBCnster \xE2\x82\xAC 5 \xC2\xB0 \xE2\x80\x9Eok\xE2\x80\x9C", &replaced),
              "M\xFCnster \x80 5 \xB0 \x84ok\x93");
    EXPECT_EQ(replaced, 0u);
    // A character the code page lacks becomes one "?"; so does every byte of
    // a stray continuation, an overlong form, a surrogate or a cut sequence.
    EXPECT_EQ(clocksim::Utf8ToWindows1252("\xE2\x9C\x93|\x80|\xC0\xAF|\xED\xA0\x80|\xC3", &replaced),
              "?|?|??|???|?");
    EXPECT_EQ(replaced, 8u);

    std::vector<std::string> notes;
    const Printout p = PrintoutFromText("\xEF\xBB\xBFZ\xC3\xBC" "chter \xE2\x9C\x93\n", true, &notes);
    EXPECT_EQ(p, Printout{"Z\xFC" "chter ?"});
    ASSERT_EQ(notes.size(), 1u);
    // Without --utf8 the bytes go as they are.
    EXPECT_EQ(PrintoutFromText("Z\xC3\xBC", false), Printout{"Z\xC3\xBC"});
}

TEST(ClockSimPrintout, ExpectedRowsFollowTheReceiversRules)
{
    const Printout p{"A@B\tC\f", "", "\x7F\xFF"};
    const std::vector<std::string> rows{"ABC", "@", "", "\x7F\xFF"};
    EXPECT_EQ(clocksim::ExpectedRows(p), rows);
}

TEST(ClockSimPrintout, LatencyFigures)
{
    std::vector<double> v;
    for (int i = 100; i >= 1; --i)
        v.push_back(i);
    EXPECT_EQ(clocksim::Median(v), 50.5);
    EXPECT_EQ(clocksim::Percentile(v, 99), 99.0);
    EXPECT_EQ(clocksim::Percentile({3, 1, 2}, 99), 3.0);
    EXPECT_EQ(clocksim::Median({5, 1, 3}), 3.0);
    EXPECT_TRUE(std::isnan(clocksim::Median({})));

    clocksim::Stats s;
    s.framesSent = 3;
    s.ackLatenciesMs = {51.25, 50.5, 52};
    const auto lines = clocksim::FormatStats(s);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "frames_sent: 3 frames"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ack_latency_ms_median: 51.250 ms"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ack_latency_ms_p99: 52.000 ms"), lines.end());
    const auto none = clocksim::FormatStats({});
    EXPECT_NE(std::find(none.begin(), none.end(), "ack_latency_ms_median: n/a ms"), none.end());
}
