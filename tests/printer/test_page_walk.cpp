// The Print button's page walk and PrintRows, on a fake spooler: which rows
// become which jobs, the font around a job, failures, and what happens when
// the main loop runs in the middle of a job.

#include "printer_fixture.h"
#include "sheet_rows.h"
#include "printout/page_printing.h"
#include "printout/sheet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using printout::PrintoutSheet;
using printout::PrintRows;
using printout::PrintSheet;
using testing_support::ErrorOf;
using testing_support::FakePrinterTest;
using testing_support::Fill;

namespace {

using Jobs = std::vector<std::vector<std::string>>;

class PageWalkTest : public FakePrinterTest {
protected:
    // Every job's lines, pages run together.
    Jobs Printed() const
    {
        Jobs jobs;
        for (std::size_t j = 0; j < state->jobs.size(); ++j) {
            std::vector<std::string> lines;
            for (const auto& page : state->JobLines(j))
                lines.insert(lines.end(), page.begin(), page.end());
            jobs.push_back(lines);
        }
        return jobs;
    }

    PrintoutSheet sheet;
};

TEST_F(PageWalkTest, EveryExampleOfTheWalk)
{
    struct Case {
        std::vector<std::string> sheet;
        Jobs jobs;
    };
    const std::vector<Case> cases = {
        {{"@"}, {}},
        {{"@", "L1"}, {}},
        {{"@", "L1", "L2"}, {{"L1", "L2"}}},
        {{"@", "L1", "L2", "@"}, {{"L1", "L2"}}},
        {{"@", "L1", "@", "L2"}, {{"L1"}}},
        {{"@", "L1", "L2", "@", "L3", "L4"}, {{"L1", "L2"}, {"L3", "L4"}}},
        {{"@", "L1", "@", "L2", "L3"}, {{"L1"}, {"L2", "L3"}}},
        {{"@", "L1", "@", "L2", "@"}, {{"L1"}, {"L2"}}},
        {{"@", "L1", "L2", "@", "L3"}, {{"L1", "L2"}}},
        // Two markers in a row: the page between them is an empty job.
        {{"@", "@", "L1", "L2"}, {{}, {"L1", "L2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.sheet));
        state->jobs.clear();
        Fill(sheet, c.sheet);
        PrintSheet(sheet);
        EXPECT_EQ(Printed(), c.jobs);
        for (const auto& job : state->jobs) {
            EXPECT_TRUE(job.ended);
            EXPECT_EQ(job.title, "");
            EXPECT_EQ(job.device, "Office");
        }
    }
}

TEST_F(PageWalkTest, EachJobUsesCourierNew12AndGivesTheFontBack)
{
    printer::TFont& font = Prn().Canvas().Font();
    font.SetName("Tahoma");
    font.SetSize(9);
    Fill(sheet, {"@", "L1", "@", "L2", "L3"});
    PrintSheet(sheet);
    ASSERT_EQ(state->jobs.size(), 2u);
    for (const auto& job : state->jobs) {
        ASSERT_FALSE(job.fonts.empty());
        EXPECT_EQ(job.fonts[0].name, "Courier New");
        EXPECT_EQ(job.fonts[0].pixelHeight, 12 * state->pixelsPerInch / 72);
    }
    EXPECT_EQ(font.Name(), "Tahoma");
    EXPECT_EQ(font.Size(), 9);
}

TEST_F(PageWalkTest, NoDefaultPrinterStopsBeforeAnyJobAndLeavesTheFontAlone)
{
    Prn().Canvas().Font().SetName("Tahoma");
    state->defaultPrinter.reset();
    Fill(sheet, {"@", "L1", "L2", "@", "L3", "L4"});
    EXPECT_EQ(ErrorOf([&] { PrintSheet(sheet); }), "There is no default printer currently selected");
    EXPECT_TRUE(state->jobs.empty());
    EXPECT_EQ(Prn().Canvas().Font().Name(), "Tahoma");
    EXPECT_EQ(state->contextsMade, 0);
}

TEST_F(PageWalkTest, ARefusedJobStopsTheWalk)
{
    Prn().Canvas().Font().SetName("Tahoma");
    state->submitFailure = printer::EOSError(1286, "Destination \"Office\" is not accepting jobs.");
    Fill(sheet, {"@", "L1", "@", "L2", "@", "L3", "@"});
    EXPECT_EQ(ErrorOf([&] { PrintSheet(sheet); }),
              "System Error.  Code: 1286.\nDestination \"Office\" is not accepting jobs.");
    EXPECT_EQ(state->jobs.size(), 1u);
    EXPECT_FALSE(Prn().Printing());
    EXPECT_EQ(Prn().Canvas().Font().Name(), "Tahoma");
}

TEST_F(PageWalkTest, AJobThatCannotBeginIsReportedAndNothingStaysOpen)
{
    Prn().Canvas().Font().SetName("Tahoma");
    state->failContexts = true;
    Fill(sheet, {"@", "L1", "L2"});
    EXPECT_EQ(ErrorOf([&] { PrintSheet(sheet); }), "Printer selected is not valid");
    EXPECT_FALSE(Prn().Printing());
    EXPECT_EQ(Prn().Canvas().Font().Name(), "Tahoma");
}

TEST_F(PageWalkTest, LinesReceivedDuringAJobArePrintedWhenTheWalkReachesThem)
{
    Fill(sheet, {"@", "L1", "L2", "@", "L3"});
    bool appended = false;
    Prn().SetProgressCallback([&] {
        if (!appended) {
            sheet.AppendLine("L4");
            appended = true;
        }
    });
    PrintSheet(sheet);
    EXPECT_EQ(Printed(), (Jobs{{"L1", "L2"}, {"L3", "L4"}}));
}

TEST_F(PageWalkTest, ClearScreenDuringAJobEndsTheWalkAndTheJobPrintsItsRows)
{
    // 30 lines need three sheets of paper, so the main loop runs inside the
    // job, between rows.
    std::vector<std::string> rows = {"@"};
    for (int i = 0; i < 30; ++i)
        rows.push_back("row" + std::to_string(i));
    rows.insert(rows.end(), {"@", "next1", "next2"});
    Fill(sheet, rows);
    Prn().SetProgressCallback([&] {
        if (sheet.RowCount() > 1)
            sheet.ResetSheet();
    });
    PrintSheet(sheet);
    ASSERT_EQ(state->jobs.size(), 1u);
    EXPECT_EQ(Printed()[0], std::vector<std::string>(rows.begin() + 1, rows.begin() + 31));
    EXPECT_EQ(sheet.RowCount(), 1);
}

TEST_F(PageWalkTest, PrintPressedAgainDuringAJobFailsWhileTheFirstWalkGoesOn)
{
    Fill(sheet, {"@", "L1", "@", "L2", "@", "L3", "L4"});
    std::vector<std::string> errors;
    Prn().SetProgressCallback([&] { errors.push_back(ErrorOf([&] { PrintSheet(sheet); })); });
    PrintSheet(sheet);
    EXPECT_EQ(Printed(), (Jobs{{"L1"}, {"L2"}, {"L3", "L4"}}));
    ASSERT_FALSE(errors.empty());
    for (const std::string& e : errors)
        EXPECT_EQ(e, "Printing in progress");
}

TEST_F(PageWalkTest, SheetsBeyondSixteenBitRowNumbersPrintTheRightRows)
{
    sheet.ResetSheet();
    for (int i = 1; i <= 65537; ++i)
        sheet.AppendLine("L" + std::to_string(i));
    sheet.AppendPageMarker();  // row 65538
    sheet.AppendLine("X1");    // row 65539
    sheet.AppendLine("X2");
    state->pageHeight = 1000000;  // keep the first job on few sheets
    PrintSheet(sheet);
    const Jobs jobs = Printed();
    ASSERT_EQ(jobs.size(), 2u);
    ASSERT_EQ(jobs[0].size(), 65537u);
    EXPECT_EQ(jobs[0].front(), "L1");
    EXPECT_EQ(jobs[0].back(), "L65537");
    EXPECT_EQ(jobs[1], (std::vector<std::string>{"X1", "X2"}));
}

TEST_F(PageWalkTest, PrintRowsPrintsTheRangeAsItStandsAndNothingBeyondTheSheet)
{
    Fill(sheet, {"@", "A", "B", "C"});
    PrintRows(sheet, 2, 9);
    PrintRows(sheet, 3, 2);
    EXPECT_EQ(Printed(), (Jobs{{"B", "C"}, {}}));
}

} // namespace
