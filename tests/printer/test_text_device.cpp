// Layout rules of the printer text device, on a measuring device with fixed
// metrics: characters 10 x 20 pixels, a text line advances 22, the page is
// 200 x 300 pixels (20 characters wide).

#include "printer_fixture.h"
#include "printer/text_device.h"

#include <gtest/gtest.h>

#include <string>

using printer::PrinterTextDevice;
using testing_support::Drawn;
using testing_support::ErrorOf;
using testing_support::FakePrinterTest;
using testing_support::FakeSpoolerState;

namespace {

constexpr int kLine = FakeSpoolerState::kCharHeight + 2;

class TextDeviceTest : public FakePrinterTest {
protected:
    void Print(std::string_view text)
    {
        device.Attach();
        device.OpenForOutput();
        device.Write(text);
        device.Close();
    }
    const std::vector<std::vector<Drawn>>& Pages(std::size_t job = 0) { return state->jobs.at(job).pages; }

    PrinterTextDevice device;
};

TEST_F(TextDeviceTest, LinesThatFitStartAtTheLeftEdgeOneTextHeightPlusTwoApart)
{
    Print("first\nsecond\n");
    ASSERT_EQ(state->jobs.size(), 1u);
    EXPECT_EQ(Pages(), (std::vector<std::vector<Drawn>>{{{0, 0, "first"}, {0, kLine, "second"}}}));
    EXPECT_TRUE(state->jobs[0].ended);
    EXPECT_EQ(state->jobs[0].title, "");
}

TEST_F(TextDeviceTest, TooWideTextContinuesOnTheNextLine)
{
    const std::string text = "abcdefghijklmnopqrstABCDEFGHIJKLMNOPQRST";  // twice the page width
    Print(text + "\nnext\n");
    EXPECT_EQ(Pages()[0], (std::vector<Drawn>{{0, 0, "abcdefghijklmnopqrst"},
                                               {0, kLine, "ABCDEFGHIJKLMNOPQRST"},
                                               {0, 2 * kLine, "next"}}));
}

TEST_F(TextDeviceTest, TextAfterARunWrapsAtTheCharacterThatNoLongerFits)
{
    Print("0123456789\r0123456789abc\n");
    // The carriage return leaves x at 100; ten more fit, "abc" wraps.
    EXPECT_EQ(Pages()[0], (std::vector<Drawn>{{0, 0, "0123456789"},
                                               {100, 0, "0123456789"},
                                               {0, kLine, "abc"}}));
}

TEST_F(TextDeviceTest, EmptyLineAdvancesByTheCharacterHeight)
{
    Print("a\n\nb\n");
    EXPECT_EQ(Pages()[0], (std::vector<Drawn>{{0, 0, "a"}, {0, kLine + FakeSpoolerState::kCharHeight, "b"}}));
}

TEST_F(TextDeviceTest, CarriageReturnDoesNotMoveBackToTheLeftEdge)
{
    Print("abc\rde\n");
    EXPECT_EQ(Pages()[0], (std::vector<Drawn>{{0, 0, "abc"}, {30, 0, "de"}}));
}

TEST_F(TextDeviceTest, TabsMoveToTheNextStopOfEightAverageWidths)
{
    state->pageWidth = 1000;
    // x = 0 -> 80; x = 79 (one pixel before the stop) skips it -> 160;
    // x = 78 -> 80; x = 80, on a stop -> 160.
    Print("\tA\naaaaaaa.........\tB\naaaaaaa........\tC\naaaaaaaa\tD\n");
    EXPECT_EQ(Pages()[0], (std::vector<Drawn>{{80, 0, "A"},
                                               {0, kLine, "aaaaaaa........."},
                                               {160, kLine, "B"},
                                               {0, 2 * kLine, "aaaaaaa........"},
                                               {80, 2 * kLine, "C"},
                                               {0, 3 * kLine, "aaaaaaaa"},
                                               {160, 3 * kLine, "D"}}));
}

TEST_F(TextDeviceTest, TabBeyondTheRightLimitStartsANewLine)
{
    // 19 characters: x = 190; the tab goes to 240 > 200.
    Print("abcdefghijklmnopqrs\tZ\n");
    EXPECT_EQ(Pages()[0], (std::vector<Drawn>{{0, 0, "abcdefghijklmnopqrs"}, {0, kLine, "Z"}}));
}

TEST_F(TextDeviceTest, NewPageWhenFewerThanTwoLineHeightsRemain)
{
    // Lines at 0, 22, ...; after line k, y = 22k, and a page begins once
    // y > 300 - 44: after the 12th line (y = 264).
    std::string text;
    for (int i = 0; i < 13; ++i)
        text += "line" + std::to_string(i) + "\n";
    Print(text);
    ASSERT_EQ(Pages().size(), 2u);
    ASSERT_EQ(Pages()[0].size(), 12u);
    EXPECT_EQ(Pages()[0].back(), (Drawn{0, 11 * kLine, "line11"}));
    EXPECT_EQ(Pages()[1], (std::vector<Drawn>{{0, 0, "line12"}}));
    EXPECT_EQ(Prn().PageNumber(), 0);
}

TEST_F(TextDeviceTest, TextAfterEmptyLinesNeverCrossesTheBottomEdge)
{
    for (int empties = 0; empties < 16; ++empties) {
        SCOPED_TRACE(empties);
        state->jobs.clear();
        std::string text;
        for (int i = 0; i < 11; ++i)
            text += "x\n";
        text += std::string(static_cast<std::size_t>(empties), '\n') + "last\n";
        Print(text);
        std::string lastDrawn;
        for (const auto& page : Pages())
            for (const Drawn& d : page) {
                EXPECT_LE(d.y + FakeSpoolerState::kCharHeight, state->pageHeight) << d.text;
                lastDrawn = d.text;
            }
        EXPECT_EQ(lastDrawn, "last");
    }
}

TEST_F(TextDeviceTest, FormFeedEndsThePageAtOnceWithinTheSameJob)
{
    Print("one\ftwo\n");
    ASSERT_EQ(state->jobs.size(), 1u);
    EXPECT_EQ(Pages(), (std::vector<std::vector<Drawn>>{{{0, 0, "one"}}, {{0, 0, "two"}}}));
}

TEST_F(TextDeviceTest, ANewPageKeepsTheLineHeightOfTheLineItEnds)
{
    Print("x\f\ny\n");
    ASSERT_EQ(Pages().size(), 2u);
    EXPECT_EQ(Pages()[1], (std::vector<Drawn>{{0, kLine, "y"}}));
}

TEST_F(TextDeviceTest, ASheetOfPaperStartsOnlyWhenSomethingIsDrawnOnIt)
{
    // Twelve lines fill the 300-pixel page; what follows them draws nothing
    // or ends the page a second time.
    const std::string full = [] {
        std::string text;
        for (int i = 0; i < 12; ++i)
            text += "line\n";
        return text;
    }();
    for (const char* tail : {"", "\f", "\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n"}) {
        SCOPED_TRACE(::testing::PrintToString(tail));
        state->jobs.clear();
        Print(full + tail);
        EXPECT_EQ(Pages().size(), 1u);
        EXPECT_EQ(Prn().PageNumber(), 0);
    }
    state->jobs.clear();
    Print(full + "\fnext\n");
    ASSERT_EQ(Pages().size(), 2u);
    EXPECT_EQ(Pages()[1], (std::vector<Drawn>{{0, 0, "next"}}));
}

TEST_F(TextDeviceTest, TextSplitAcrossBufferPiecesPrintsAsOnePiece)
{
    // 200 characters: the 128-byte buffer hands them over in two pieces.
    std::string row;
    for (int i = 0; i < 200; ++i)
        row += static_cast<char>('a' + i % 26);
    device.Attach();
    device.OpenForOutput();
    device.WriteLine(row);
    device.Close();
    std::vector<std::string> lines;
    for (const auto& page : state->JobLines(0))
        lines.insert(lines.end(), page.begin(), page.end());
    ASSERT_EQ(lines.size(), 10u);
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], row.substr(i * 20, 20));
}

TEST_F(TextDeviceTest, NothingIsLaidOutBeforeTheBufferFillsOrALineEnds)
{
    device.Attach();
    device.OpenForOutput();
    device.Write(std::string(127, 'a'));
    EXPECT_TRUE(Pages()[0].empty());
    device.Write("b");  // the 128th byte hands the piece over
    EXPECT_FALSE(Pages()[0].empty());
    device.Write("tail");
    const std::size_t drawn = Pages().back().size();
    device.Close();  // what is left goes out at close
    EXPECT_GT(Pages().back().size(), drawn);
    EXPECT_EQ(Pages().back().back().text, "tail");
}

TEST_F(TextDeviceTest, OpenAndCloseWithoutTextGiveOneEmptyPage)
{
    Print("");
    ASSERT_EQ(state->jobs.size(), 1u);
    EXPECT_EQ(Pages().size(), 1u);
    EXPECT_TRUE(Pages()[0].empty());
    EXPECT_TRUE(state->jobs[0].ended);
}

TEST_F(TextDeviceTest, ACharacterWiderThanThePageGoesOutAloneInsteadOfLoopingForever)
{
    Print("ab#cd\n");
    EXPECT_EQ(Pages()[0], (std::vector<Drawn>{{0, 0, "ab"}, {0, kLine, "#"}, {0, 2 * kLine, "cd"}}));
}

TEST_F(TextDeviceTest, ReadsYieldNothingAndWritesNeedOutputMode)
{
    device.Attach();
    device.OpenForInput();
    char buffer[16];
    EXPECT_EQ(device.Read(buffer, sizeof buffer), 0u);
    EXPECT_THROW(device.Write("x"), std::logic_error);
    device.Close();
    EXPECT_TRUE(state->jobs.empty());
    PrinterTextDevice unattached;
    EXPECT_THROW(unattached.OpenForOutput(), std::logic_error);
}

TEST_F(TextDeviceTest, EndingTheDocumentTwiceFailsTheSecondTime)
{
    device.Attach();
    device.OpenForOutput();
    device.Close();
    EXPECT_EQ(ErrorOf([&] { Prn().EndDoc(); }), "Printer is not currently printing");
}

TEST_F(TextDeviceTest, AJobThatCannotBeginLeavesTheDeviceClosed)
{
    state->failContexts = true;
    device.Attach();
    EXPECT_EQ(ErrorOf([&] { device.OpenForOutput(); }), "Printer selected is not valid");
    EXPECT_EQ(device.GetMode(), PrinterTextDevice::Mode::Closed);
    EXPECT_FALSE(Prn().Printing());
    EXPECT_NO_THROW(device.Close());

    // A drawing context that cannot begin says why at once.
    state->failContexts = false;
    state->startFailure = printer::EOSError(28, "No space left on device");
    EXPECT_EQ(ErrorOf([&] { device.OpenForOutput(); }), "System Error.  Code: 28.\nNo space left on device");
    EXPECT_EQ(device.GetMode(), PrinterTextDevice::Mode::Closed);
    EXPECT_FALSE(Prn().Printing());
    EXPECT_EQ(Prn().PageNumber(), 0);
    EXPECT_EQ(Prn().State(), printer::psNoHandle);
    state->startFailure.reset();
    EXPECT_NO_THROW(Print("again\n"));
}

TEST_F(TextDeviceTest, DestroyingAnOpenDeviceEndsItsJob)
{
    {
        PrinterTextDevice scoped;
        scoped.Attach();
        scoped.OpenForOutput();
        scoped.Write("pending");
    }
    EXPECT_FALSE(Prn().Printing());
    ASSERT_EQ(state->jobs.size(), 1u);
    EXPECT_TRUE(state->jobs[0].ended);
    EXPECT_EQ(Pages()[0], (std::vector<Drawn>{{0, 0, "pending"}}));
}

} // namespace
