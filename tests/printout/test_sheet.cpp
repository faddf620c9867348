#include <gtest/gtest.h>

#include "printout/sheet.h"

using printout::PrintoutSheet;

namespace {

struct Recorder : PrintoutSheet::Observer {
    int resets = 0;
    std::vector<int> changed;
    std::vector<std::pair<int, bool>> current;
    void SheetReset() override { ++resets; }
    void RowsChanged(int first) override { changed.push_back(first); }
    void CurrentRowChanged(int row, bool scroll) override { current.emplace_back(row, scroll); }
};

} // namespace

TEST(Sheet, CreationAndResetStates)
{
    PrintoutSheet sheet;
    EXPECT_EQ(sheet.RowCount(), 1);
    EXPECT_EQ(sheet.RowText(0), "@");
    EXPECT_EQ(sheet.RowHeight(0), 1);
    EXPECT_EQ(sheet.NextRow(), 0); // creation leaves the counter alone

    sheet.ResetSheet();
    EXPECT_EQ(sheet.RowCount(), 1);
    EXPECT_EQ(sheet.NextRow(), 1);
    sheet.AppendLine("");
    EXPECT_EQ(sheet.RowCount(), 2);
    EXPECT_EQ(sheet.RowText(1), "");
    EXPECT_EQ(sheet.RowHeight(1), 15);
}

TEST(Sheet, ResetDiscardsOldTexts)
{
    PrintoutSheet sheet;
    sheet.ResetSheet();
    for (int i = 0; i < 10; ++i)
        sheet.AppendLine("line " + std::to_string(i));
    sheet.ResetSheet();
    sheet.AppendLine("");
    EXPECT_EQ(sheet.RowCount(), 2);
    EXPECT_EQ(sheet.RowText(1), "");
    sheet.AppendPageMarker();
    EXPECT_TRUE(sheet.IsPageMarker(2));
}

TEST(Sheet, MarkerRightAfterResetGivesTwoMarkers)
{
    PrintoutSheet sheet;
    sheet.ResetSheet();
    sheet.AppendPageMarker();
    EXPECT_EQ(sheet.RowCount(), 2);
    EXPECT_TRUE(sheet.IsPageMarker(0));
    EXPECT_TRUE(sheet.IsPageMarker(1));
}

TEST(Sheet, ZeroBytesAndHighBytesAreKept)
{
    using std::string_literals::operator""s;
    PrintoutSheet sheet;
    sheet.ResetSheet();
    sheet.AppendLine("a\0b\xFF"s);
    EXPECT_EQ(sheet.RowText(1), "a\0b\xFF"s);
    EXPECT_THROW(sheet.RowText(2), std::out_of_range);
    EXPECT_THROW(sheet.RowText(-1), std::out_of_range);
}

TEST(Sheet, ShowLastRowMovesOnlyWhenNeeded)
{
    PrintoutSheet sheet;
    Recorder rec;
    sheet.SetObserver(&rec);
    sheet.ResetSheet();
    sheet.AppendLine("one");
    sheet.AppendLine("two");
    rec.current.clear();
    sheet.ShowLastRow();
    EXPECT_EQ(sheet.CurrentRow(), 2);
    ASSERT_EQ(rec.current.size(), 1u);
    EXPECT_EQ(rec.current[0], std::make_pair(2, true));

    sheet.ShowLastRow(); // already current: nothing, not even a scroll
    EXPECT_EQ(rec.current.size(), 1u);

    sheet.SelectRow(1);
    sheet.ShowLastRow();
    EXPECT_EQ(sheet.CurrentRow(), 2);
    EXPECT_EQ(rec.current.size(), 3u);
}

TEST(Sheet, ObserverHearsAppendsAndResets)
{
    PrintoutSheet sheet;
    Recorder rec;
    sheet.SetObserver(&rec);
    sheet.ResetSheet();
    sheet.AppendLine("x");
    sheet.AppendPageMarker();
    EXPECT_EQ(rec.resets, 1);
    EXPECT_EQ(rec.changed, (std::vector<int>{1, 2}));
}

TEST(Sheet, VerticalLayoutAddsRowHeights)
{
    PrintoutSheet sheet;
    sheet.ResetSheet();
    // "@"(1) L(15) L(15) "@"(1) L(15)
    sheet.AppendLine("a");
    sheet.AppendLine("b");
    sheet.AppendPageMarker();
    sheet.AppendLine("c");
    EXPECT_EQ(sheet.RowTop(0), 0);
    EXPECT_EQ(sheet.RowTop(1), 1);
    EXPECT_EQ(sheet.RowTop(3), 31);
    EXPECT_EQ(sheet.RowTop(4), 32);
    EXPECT_EQ(sheet.TotalHeight(), 47);
    EXPECT_EQ(sheet.RowAt(0), 0);
    EXPECT_EQ(sheet.RowAt(1), 1);
    EXPECT_EQ(sheet.RowAt(15), 1);
    EXPECT_EQ(sheet.RowAt(16), 2);
    EXPECT_EQ(sheet.RowAt(31), 3);
    EXPECT_EQ(sheet.RowAt(32), 4);
    EXPECT_EQ(sheet.RowAt(1000), 4);
}

TEST(Sheet, AppendAtCounterZeroOverwritesRowZero)
{
    // Only reachable before the first reset; kept as the grid behaved.
    PrintoutSheet sheet;
    sheet.AppendLine("early");
    EXPECT_EQ(sheet.RowCount(), 1);
    EXPECT_EQ(sheet.RowText(0), "early");
    EXPECT_EQ(sheet.RowHeight(0), 15);
    EXPECT_EQ(sheet.NextRow(), 1);
}
