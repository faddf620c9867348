// The Print button on a received printout: one CUPS job per page of the
// sheet, through a private cupsd.

#include <gtest/gtest.h>

#include <QPageLayout>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <atomic>
#include <filesystem>
#include <thread>

#include "../printer/cupsd_harness.h"
#include "printout/clock_text.h"
#include "tools/clock_sim.h"
#include "window_rig.h"

using namespace testing_support;

namespace {

std::string TrimRight(std::string s)
{
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// The sheet's pages as the printer should get them: runs between markers,
// decoded from Windows-1252.
std::vector<std::vector<std::string>> SheetPages(const printout::PrintoutSheet& sheet)
{
    std::vector<std::vector<std::string>> pages;
    std::vector<std::string> page;
    for (int row = 1; row < sheet.RowCount(); ++row) {
        if (sheet.IsPageMarker(row)) {
            pages.push_back(page);
            page.clear();
        } else {
            page.push_back(TrimRight(printout::DecodeClockText(sheet.RowText(row)).toStdString()));
        }
    }
    if (page.size() >= 2)
        pages.push_back(page);
    return pages;
}

} // namespace

TEST(PrintButton, PrintsTheReceivedPrintoutOneJobPerPage)
{
    SetUpProgram();
    PrivateCupsd cupsd;
    cupsd.AddQueue("Q");
    cupsd.SetDefault("Q");
    const std::string renderDir = cupsd.Dir() + "/render";
    std::filesystem::create_directory(renderDir);
    ::setenv("TMPDIR", renderDir.c_str(), 1);
    const QRectF area = QPrinter(QPrinterInfo::printerInfo("Q"), QPrinter::HighResolution)
                            .pageLayout()
                            .paintRect(QPageLayout::Point);

    clocksim::Options options;
    options.settleMs = 50;
    clocksim::Line line = clocksim::Line::CreatePty();
    clocksim::ClockSimulator sim(line, options);
    std::atomic<bool> stop{false};
    std::thread peer([&] { sim.Run(stop); });

    FakePortTree ports;
    ports.Add("ttyUSB0", line.Path());
    {
        app::TForm1 form;
        form.show();
        form.BitBtn1->click();
        ASSERT_TRUE(RunEventsUntil([&] { return sim.Snapshot().printoutsCompleted >= 1; }, 60000));
        const auto expected = SheetPages(form.Sheet());
        ASSERT_EQ(expected.size(), 3u); // the sample race report has three pages

        BoxAnswerer boxes; // a failure would show up here
        form.BitBtn2->click();
        EXPECT_TRUE(boxes.seen.empty()) << boxes.seen.front().text.toStdString();

        const auto jobs = cupsd.FinishedJobs();
        ASSERT_EQ(jobs.size(), expected.size());
        for (std::size_t j = 0; j < jobs.size(); ++j) {
            SCOPED_TRACE("job " + std::to_string(j + 1));
            EXPECT_EQ(jobs[j].title, "");
            std::vector<std::string> printed;
            for (const auto& page : JobPages(jobs[j].path, area.x(), area.y(), area.width(), area.height()))
                for (const std::string& text : page)
                    printed.push_back(TrimRight(text));
            EXPECT_EQ(printed, expected[j]);
        }
        form.BitBtn1->click();
    }
    stop = true;
    peer.join();
}
