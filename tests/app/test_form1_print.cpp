// The Print button on a received printout: one CUPS job per page of the
// sheet, through a private cupsd.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QPageLayout>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <csignal>
#include <sys/resource.h>
#include <filesystem>
#include <initializer_list>

#include "../printer/cupsd_harness.h"
#include "../printer/real_printers.h"
#include "printer/spooler.h"
#include "printout/clock_text.h"
#include "printout/sheet_view.h"
#include "tools/clock_sim.h"
#include "sim_clock.h"
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

// A window whose sheet holds rows, beside a private print server whose
// default queue is Q, with a second queue Other.
struct SheetMenuRig {
    explicit SheetMenuRig(std::initializer_list<const char*> rows)
    {
        form.show();
        form.Sheet().ResetSheet();
        for (const char* row : rows)
            std::string_view(row) == "@" ? form.Sheet().AppendPageMarker() : form.Sheet().AppendLine(row);
    }
    PrivateCupsd cupsd;
    bool queuesMade = [this] {
        cupsd.AddQueue("Q");
        cupsd.AddQueue("Other");
        cupsd.SetDefault("Q");
        ::setenv("TMPDIR", cupsd.Dir().c_str(), 1);
        return true;
    }();
    const printer::PaperLayout paper = printer::LocalePaper();
    const double width = paper.width - paper.left - paper.right;
    const double height = paper.height - paper.top - paper.bottom;
    FakePortTree ports;
    app::TForm1 form;
};

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
    const printer::PaperLayout paper = printer::LocalePaper();  // the queue describes none
    const QRectF area(paper.left, paper.top, paper.width - paper.left - paper.right,
                      paper.height - paper.top - paper.bottom);

    clocksim::Options options;
    options.settleMs = 50;
    SimClock sim(options);

    FakePortTree ports;
    ports.Add("ttyUSB0", sim.Path());
    {
        app::TForm1 form;
        form.show();
        form.BitBtn1->click();
        ASSERT_TRUE(RunEventsUntil([&] { return sim.Stats().printoutsCompleted >= 1; }, 60000));
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
}


TEST(SheetMenu, SavesThePrintoutAsPdfAndPrintsOnAPickedPrinter)
{
    SetUpProgram();
    SheetMenuRig rig({"Race 1", "K7 0815", "@", "Race 2", "end"});
    PrivateCupsd& cupsd = rig.cupsd;
    app::TForm1& form = rig.form;
    const printer::PaperLayout& paper = rig.paper;
    const double w = rig.width, h = rig.height;

    // Save as PDF: Qt's file dialog proposes a dated name in the documents folder.
    const std::string pdf = cupsd.Dir() + "/race.pdf";
    QString proposed;
    {
        DialogAnswerer<QFileDialog> answer([&](QFileDialog& dialog) {
            proposed = dialog.selectedFiles().value(0);
            ChooseFile(dialog, QString::fromStdString(pdf));
        });
        BoxAnswerer boxes;
        form.StringGrid1->SaveAsPdfAction()->trigger();
        EXPECT_TRUE(answer.seen);
        EXPECT_TRUE(boxes.seen.empty());
    }
    EXPECT_TRUE(QRegularExpression(QStringLiteral("/printout-\\d{4}-\\d\\d-\\d\\d-\\d{4}\\.pdf$"))
                    .match(proposed)
                    .hasMatch())
        << proposed.toStdString();
    EXPECT_EQ(JobPages(pdf, paper.left, paper.top, w, h),
              (std::vector<std::vector<std::string>>{{"Race 1", "K7 0815"}, {"Race 2", "end"}}));

    // A file that cannot be written: the reason in the error box, the code
    // and the text of the same error. A file size limit makes the write
    // fail in a folder the dialog can show.
    {
        DialogAnswerer<QFileDialog> answer([&](QFileDialog& dialog) {
            ChooseFile(dialog, QString::fromStdString(cupsd.Dir() + "/too-big.pdf"));
        });
        BoxAnswerer boxes;
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        const rlimit small{1024, old.rlim_max};
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        form.StringGrid1->SaveAsPdfAction()->trigger();
        ::setrlimit(RLIMIT_FSIZE, &old);
        ASSERT_EQ(boxes.seen.size(), 1u);
        EXPECT_EQ(boxes.seen[0].text.toStdString(), "System Error.  Code: 27.\nFile too large.");
        EXPECT_FALSE(std::filesystem::exists(cupsd.Dir() + "/too-big.pdf"));
    }

    // Print on...: the printer picked in Qt's print dialog, for this walk only.
    {
        DialogAnswerer<QPrintDialog> answer([&](QPrintDialog& dialog) {
            for (QComboBox* box : dialog.findChildren<QComboBox*>()) {
                const int other = box->findText(QStringLiteral("Other"));
                if (other >= 0)
                    box->setCurrentIndex(other);
            }
            static_cast<QDialog&>(dialog).accept();
        });
        form.StringGrid1->PrintOnAction()->trigger();
        EXPECT_TRUE(answer.seen);
    }
    BoxAnswerer boxes;
    form.BitBtn2->setEnabled(true);
    form.BitBtn2->click();
    EXPECT_TRUE(boxes.seen.empty());
    std::vector<std::string> queues;
    for (const StoredJob& job : cupsd.FinishedJobs())
        queues.push_back(job.queue);
    EXPECT_EQ(queues, (std::vector<std::string>{"Other", "Other", "Q", "Q"}));
}

TEST(PrintButton, AHungServerIsReportedWithinTheBoundWhileLinesKeepArrivingAndAreAcknowledged)
{
    SetUpProgram();
    PrivateCupsd cupsd;
    cupsd.AddQueue("Q");
    cupsd.SetDefault("Q");

    clocksim::Options options;
    options.settleMs = 50;
    options.loop = true;
    options.loopGapMs = 300;
    options.lineGapMs = 300;
    SimClock sim(options);

    FakePortTree ports;
    ports.Add("ttyUSB0", sim.Path());
    {
        app::TForm1 form;
        form.show();
        form.BitBtn1->click();
        ASSERT_TRUE(RunEventsUntil([&] { return sim.Stats().linesPlayed >= 3; }, 60000));
        const int rowsBefore = form.Sheet().RowCount();
        const clocksim::Stats before = sim.Stats();

        BoxAnswerer boxes;
        cupsd.Hang();  // its last answer was just now
        QElapsedTimer sinceLastAnswer;
        sinceLastAnswer.start();
        form.BitBtn2->setEnabled(true);
        form.BitBtn2->click();  // returns once the box is answered
        const qint64 elapsed = sinceLastAnswer.elapsed();
        cupsd.Resume();

        ASSERT_EQ(boxes.seen.size(), 1u);
        EXPECT_EQ(boxes.seen[0].text.toStdString(),
                  "System Error.  Code: 1282.\nThe print server " + cupsd.Socket() + " did not answer within 10 s.");
        EXPECT_GE(elapsed, 9500);
        EXPECT_LT(elapsed, 11000);
        // The window went on meanwhile: every line shown and acknowledged in time.
        const clocksim::Stats after = sim.Stats();
        EXPECT_GE(form.Sheet().RowCount() - rowsBefore, 15);
        EXPECT_GE(after.acksReceived - before.acksReceived, 15);
        EXPECT_EQ(after.ackTimeouts, before.ackTimeouts);
        EXPECT_EQ(after.framesResent, before.framesResent);
        form.BitBtn1->click();
    }
}

TEST(SheetMenu, PrintOnHonoursTheCopiesAndThePagesChosen)
{
    SetUpProgram();
    SheetMenuRig rig({"P1", "P1b", "@", "P2", "@", "P3", "@"});
    PrivateCupsd& cupsd = rig.cupsd;
    app::TForm1& form = rig.form;
    const printer::PaperLayout& paper = rig.paper;
    const double w = rig.width, h = rig.height;

    struct Case {
        int copies;
        bool collate;
        int from, to;  // 0: all
        std::vector<std::pair<std::string, int>> jobs;  // first line, copies
    };
    const std::vector<Case> cases = {
        {2, true, 2, 2, {{"P2", 2}}},
        {2, false, 2, 3, {{"P2", 2}, {"P3", 2}}},
        {2, true, 1, 2, {{"P1", 1}, {"P2", 1}, {"P1", 1}, {"P2", 1}}},
        {1, true, 0, 0, {{"P1", 1}, {"P2", 1}, {"P3", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + "-" + std::to_string(c.to) + " x" + std::to_string(c.copies));
        cupsd.ClearJobs();
        DialogAnswerer<QPrintDialog> answer([&](QPrintDialog& dialog) {
            dialog.findChild<QSpinBox*>(QStringLiteral("copies"))->setValue(c.copies);
            dialog.findChild<QCheckBox*>(QStringLiteral("collate"))->setChecked(c.collate);
            if (c.from > 0) {
                dialog.findChild<QRadioButton*>(QStringLiteral("printRange"))->setChecked(true);
                dialog.findChild<QSpinBox*>(QStringLiteral("to"))->setValue(c.to);
                dialog.findChild<QSpinBox*>(QStringLiteral("from"))->setValue(c.from);
            }
            // What the walk does not honour is not offered.
            for (const char* name : {"reverse", "pageSetCombo", "duplex", "colorMode", "properties"})
                EXPECT_FALSE(dialog.findChild<QWidget*>(QString::fromLatin1(name))->isVisibleTo(&dialog)) << name;
            static_cast<QDialog&>(dialog).accept();
        });
        BoxAnswerer boxes;
        form.StringGrid1->PrintOnAction()->trigger();
        EXPECT_TRUE(answer.seen);
        EXPECT_TRUE(boxes.seen.empty());
        std::vector<std::pair<std::string, int>> jobs;
        for (const StoredJob& job : cupsd.FinishedJobs())
            jobs.emplace_back(JobPages(job.path, paper.left, paper.top, w, h).at(0).at(0), job.copies);
        EXPECT_EQ(jobs, c.jobs);
    }
}

TEST(SheetMenu, WithNoPrinterPrintOnSaysSoAndSaveAsPdfStillWorks)
{
    SetUpProgram();
    PrivateCupsd cupsd;  // a print server with no printer at all
    ::setenv("TMPDIR", cupsd.Dir().c_str(), 1);
    FakePortTree ports;
    app::TForm1 form;
    form.show();
    form.Sheet().ResetSheet();
    for (const char* row : {"Race 1", "K7 0815"})
        form.Sheet().AppendLine(row);
    {
        DialogAnswerer<QPrintDialog> dialog([](QPrintDialog& d) { static_cast<QDialog&>(d).reject(); });
        BoxAnswerer boxes;
        form.StringGrid1->PrintOnAction()->trigger();
        EXPECT_FALSE(dialog.seen);
        ASSERT_EQ(boxes.seen.size(), 1u);
        EXPECT_EQ(boxes.seen[0].text.toStdString(),
                  "There is no printer to print on. Add one in the system's printer settings, or keep the "
                  "printout as a PDF file with Save as PDF... in this menu.");
    }
    // The locale's paper, with a plain 10 mm margin.
    const std::string pdf = cupsd.Dir() + "/no-printer.pdf";
    DialogAnswerer<QFileDialog> answer([&](QFileDialog& d) { ChooseFile(d, QString::fromStdString(pdf)); });
    BoxAnswerer boxes;
    form.StringGrid1->SaveAsPdfAction()->trigger();
    EXPECT_TRUE(answer.seen);
    EXPECT_TRUE(boxes.seen.empty());
    const printer::PaperLayout paper = printer::LocalePaper();
    const double mm10 = 10 * 72 / 25.4;
    EXPECT_EQ(JobPages(pdf, mm10, mm10, paper.width - 2 * mm10, paper.height - 2 * mm10),
              (std::vector<std::vector<std::string>>{{"Race 1", "K7 0815"}}));
}

TEST(SheetMenu, PrintOnTakesThePrintersOwnPaperUnlessAnotherIsPicked)
{
    SetUpProgram();
    SheetMenuRig rig({"Race 1", "K7 0815"});
    SimulatedPrinter letter(rig.cupsd, "Letter");  // Letter by default, 18 pt margins
    letter.AddQueue("Eve");
    struct Case {
        QString paper;  // picked; empty: left at the printer's own
        double width, height;
    };
    for (const Case& c : {Case{QString(), 612, 792}, Case{QStringLiteral("A4"), 595, 842}}) {
        SCOPED_TRACE(c.paper.toStdString());
        letter.ClearReceived();
        QStringList offered;
        DialogAnswerer<QPrintDialog> answer([&](QPrintDialog& dialog) {
            for (QComboBox* box : dialog.findChildren<QComboBox*>())
                if (box->objectName() == QLatin1String("printers"))
                    box->setCurrentIndex(box->findText(QStringLiteral("Eve")));
            auto* paper = dialog.findChild<QComboBox*>(QStringLiteral("paperChoice"));
            ASSERT_NE(paper, nullptr);
            for (int i = 0; i < paper->count(); ++i)
                offered << (i == 0 ? paper->itemText(i) : paper->itemData(i).toString());
            if (!c.paper.isEmpty())
                paper->setCurrentIndex(paper->findData(c.paper));
            static_cast<QDialog&>(dialog).accept();
        });
        BoxAnswerer boxes;
        rig.form.StringGrid1->PrintOnAction()->trigger();
        EXPECT_TRUE(answer.seen);
        EXPECT_TRUE(boxes.seen.empty());
        EXPECT_EQ(offered.value(0), QStringLiteral("The printer's own"));
        EXPECT_TRUE(offered.contains(QStringLiteral("A4")) && offered.contains(QStringLiteral("Letter")))
            << offered.join(u',').toStdString();
        const std::vector<std::string> received = letter.Received();
        ASSERT_EQ(received.size(), 1u);
        const std::vector<WordBox> words = FirstPageWords(received[0]);
        ASSERT_FALSE(words.empty());
        EXPECT_EQ(words[0].word, "Race");
        EXPECT_NEAR(words[0].pageWidth, c.width, 1);
        EXPECT_NEAR(words[0].pageHeight, c.height, 1);
        EXPECT_NEAR(words[0].yMin, 18, 1);  // the printer's top margin on either paper
    }
}
