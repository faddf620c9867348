// Printing the sheet through a real spooler: a private cupsd whose queues
// store every job's document; the documents are read back as text.

#include "cupsd_harness.h"
#include "sheet_rows.h"
#include "printer/cups_spooler.h"
#include "printer/printer.h"
#include "printout/page_printing.h"
#include "printout/sheet.h"
#include "../qt_test_app.h"

#include <QElapsedTimer>
#include <QTimer>

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using printout::PrintoutSheet;
using printout::PrintSheet;
using testing_support::PrivateCupsd;

using testing_support::Fill;

namespace {

using Lines = std::vector<std::string>;

// Tests wait this long for a server that does not answer, not the program's
// ten seconds.
constexpr std::chrono::milliseconds kTestBound{800};

// Counts the turns the main loop gets while it lives.
struct Ticker {
    QTimer timer;
    int ticks = 0;
    Ticker()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { ++ticks; });
        timer.start(10);
    }
};

// What a command (of poppler-utils) prints.
std::string Output(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

std::string ErrorOf(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// The CUPS spooler, with a look at every drawing context made (one per job
// begun).
class WatchedSpooler : public printer::PrintSpooler {
public:
    explicit WatchedSpooler(std::function<void(int)> onJob) : onJob_(std::move(onJob)) {}
    std::vector<std::string> PrinterNames() override { return real_->PrinterNames(); }
    std::optional<std::string> DefaultPrinter() override { return real_->DefaultPrinter(); }
    std::unique_ptr<printer::PrintContext> MakeContext(const std::string& device, bool drawing) override
    {
        if (drawing && onJob_)
            onJob_(++jobs_);
        return real_->MakeContext(device, drawing);
    }

private:
    std::unique_ptr<printer::PrintSpooler> real_ = printer::MakeCupsSpooler();
    std::function<void(int)> onJob_;
    int jobs_ = 0;
};

class CupsPrintingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        testing_support::TestApp();
        // As the window does: the main loop runs while the printer waits.
        printer::SetWaitCallback([] { QCoreApplication::processEvents(); });
        cupsd = new PrivateCupsd();
        cupsd->AddQueue("Q");
        cupsd->AddQueue("Other");
        cupsd->SetDefault("Q");
        // Where the jobs are rendered before they are handed over.
        renderDir = cupsd->Dir() + "/render";
        std::filesystem::create_directory(renderDir);
        setenv("TMPDIR", renderDir.c_str(), 1);
        // The queues describe no paper of their own: the locale's.
        const printer::PaperLayout paper = printer::LocalePaper();
        area = QRectF(paper.left, paper.top, paper.width - paper.left - paper.right,
                      paper.height - paper.top - paper.bottom);
    }
    static void TearDownTestSuite()
    {
        printer::SetWaitCallback({});
        delete cupsd;
        cupsd = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(cupsd, nullptr);
        cupsd->ClearJobs();
        setenv("TMPDIR", renderDir.c_str(), 1);
        UsePrinter(printer::MakeCupsSpooler());
    }
    void TearDown() override
    {
        cupsd->Resume();
        printer::SetPrinter(std::move(previous_));
        cupsSetServer(nullptr);
        cupsd->Accept("Q");
        cupsd->SetDefault("Q");
    }

    void UsePrinter(std::unique_ptr<printer::PrintSpooler> spooler)
    {
        auto old = printer::SetPrinter(std::make_unique<printer::TPrinter>(std::move(spooler)));
        if (!previous_)
            previous_ = std::move(old);
    }

    // Each finished job's text, pages run together; and its page count.
    std::vector<Lines> Jobs(std::vector<int>* pageCounts = nullptr, std::vector<std::string>* queues = nullptr)
    {
        std::vector<Lines> jobs;
        for (const testing_support::StoredJob& job : cupsd->FinishedJobs()) {
            if (queues)
                queues->push_back(job.queue);
            EXPECT_EQ(job.title, "");
            const auto pages = testing_support::JobPages(job.path, area.x(), area.y(), area.width(), area.height());
            if (pageCounts)
                pageCounts->push_back(static_cast<int>(pages.size()));
            Lines lines;
            for (const Lines& page : pages)
                lines.insert(lines.end(), page.begin(), page.end());
            jobs.push_back(lines);
        }
        return jobs;
    }

    static PrivateCupsd* cupsd;
    static QRectF area;
    static std::string renderDir;
    PrintoutSheet sheet;

private:
    std::unique_ptr<printer::TPrinter> previous_;
};

PrivateCupsd* CupsPrintingTest::cupsd = nullptr;
QRectF CupsPrintingTest::area;
std::string CupsPrintingTest::renderDir;

TEST_F(CupsPrintingTest, OneJobPerPageWithExactlyThePagesLines)
{
    struct Case {
        std::vector<std::string> sheet;
        std::vector<Lines> jobs;
    };
    const std::vector<Case> cases = {
        {{"@"}, {}},
        {{"@", "L1"}, {}},
        {{"@", "L1", "L2"}, {{"L1", "L2"}}},
        {{"@", "L1", "L2", "@"}, {{"L1", "L2"}}},
        {{"@", "L1", "@", "L2"}, {{"L1"}}},
        {{"@", "L1", "L2", "@", "L3", "L4"}, {{"L1", "L2"}, {"L3", "L4"}}},
        {{"@", "L1", "@", "L2", "L3"}, {{"L1"}, {"L2", "L3"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.sheet));
        cupsd->ClearJobs();
        Fill(sheet, c.sheet);
        PrintSheet(sheet);
        EXPECT_EQ(Jobs(), c.jobs);
    }
    // Every rendered job was removed once it was handed over.
    EXPECT_TRUE(std::filesystem::is_empty(renderDir));
}

TEST_F(CupsPrintingTest, AJobThatCannotBeRenderedIsASystemErrorAndNothingStaysOpen)
{
    printer::Printer().Canvas().Font().SetName("Tahoma");
    setenv("TMPDIR", (cupsd->Dir() + "/no-such-dir").c_str(), 1);
    Fill(sheet, {"@", "L1", "L2"});
    EXPECT_EQ(ErrorOf([&] { PrintSheet(sheet); }), "System Error.  Code: 2.\nNo such file or directory");
    EXPECT_FALSE(printer::Printer().Printing());
    EXPECT_EQ(printer::Printer().Canvas().Font().Name(), "Tahoma");
    EXPECT_TRUE(Jobs().empty());
}

TEST_F(CupsPrintingTest, ALongRowWrapsWithinItsPage)
{
    std::string row;
    for (int i = 0; i < 200; ++i)
        row += static_cast<char>('A' + i % 26);
    Fill(sheet, {"@", "before", row, "after"});
    PrintSheet(sheet);
    std::vector<int> pages;
    const std::vector<Lines> jobs = Jobs(&pages);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(pages, std::vector<int>{1});
    const Lines& lines = jobs[0];
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines.front(), "before");
    EXPECT_EQ(lines.back(), "after");
    // The row fills whole lines of equal length, then its rest.
    const Lines wrapped(lines.begin() + 1, lines.end() - 1);
    std::string joined;
    for (const std::string& l : wrapped)
        joined += l;
    EXPECT_EQ(joined, row);
    for (std::size_t i = 0; i + 1 < wrapped.size(); ++i)
        EXPECT_EQ(wrapped[i].size(), wrapped[0].size());
    EXPECT_GE(wrapped[0].size(), 60u);  // A4 or Letter, 12 pt: about 80 characters
}

TEST_F(CupsPrintingTest, APageLongerThanASheetOfPaperContinuesWithinTheSameJob)
{
    std::vector<std::string> rows = {"@"};
    for (int i = 1; i <= 90; ++i)
        rows.push_back("Line " + std::to_string(i));
    rows.push_back("@");
    Fill(sheet, rows);
    PrintSheet(sheet);
    std::vector<int> pages;
    const std::vector<Lines> jobs = Jobs(&pages);
    ASSERT_EQ(jobs.size(), 1u);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0], 2);
    EXPECT_EQ(jobs[0], Lines(rows.begin() + 1, rows.end() - 1));
}

TEST_F(CupsPrintingTest, UmlautsAndTheEuroSignPrintAsSent)
{
    // Windows-1252, as the clock sends it.
    Fill(sheet, {"@", "Gr\xFC\xDF" "e aus K\xF6ln", "Preis 5 \x80, \xC4\xD6\xDC \xE4\xF6\xFC"});
    PrintSheet(sheet);
    EXPECT_EQ(Jobs(), (std::vector<Lines>{{"Grüße aus Köln", "Preis 5 €, ÄÖÜ äöü"}}));
}

TEST_F(CupsPrintingTest, NoDefaultPrinterIsReportedAndNothingPrints)
{
    cupsd->RemoveQueue("Q");  // takes the default with it
    cupsd->AddQueue("Q");
    Fill(sheet, {"@", "L1", "L2", "@", "L3", "L4"});
    EXPECT_EQ(ErrorOf([&] { PrintSheet(sheet); }), "There is no default printer currently selected");
    EXPECT_TRUE(Jobs().empty());
}

// A TCP socket bound to a free loopback port (-1 on failure).
int BoundLoopbackSocket(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

TEST_F(CupsPrintingTest, AnUnreachableSpoolerIsASystemErrorWithTheSystemsReason)
{
    Fill(sheet, {"@", "L1", "L2"});
    // No socket at all, and a port nobody listens on.
    int boundPort = 0;
    const int closed = BoundLoopbackSocket(boundPort);
    ASSERT_GE(closed, 0);
    const std::string port = std::to_string(boundPort); // bound, never listening
    struct Case {
        std::string server, shown, reason;
    };
    for (const Case& c : {Case{cupsd->Dir() + "/no-such.sock", cupsd->Dir() + "/no-such.sock",
                               std::strerror(ENOENT)},
                          Case{"127.0.0.1:" + port, "127.0.0.1", std::strerror(ECONNREFUSED)}}) {
        SCOPED_TRACE(c.server);
        cupsSetServer(c.server.c_str());
        EXPECT_EQ(ErrorOf([&] { PrintSheet(sheet); }),
                  "System Error.  Code: 1282.\nThe print server " + c.shown + " cannot be reached. " + c.reason);
    }
    ::close(closed);
    cupsSetServer(nullptr);
    EXPECT_TRUE(Jobs().empty());
}

TEST_F(CupsPrintingTest, AQueueThatRejectsJobsStopsTheWalkWithTheSpoolersError)
{
    // The first job prints; then the queue stops accepting jobs.
    int begun = 0;
    UsePrinter(std::make_unique<WatchedSpooler>([&](int job) {
        begun = job;
        if (job == 2)
            cupsd->Reject("Q");
    }));
    Fill(sheet, {"@", "L1", "@", "L2", "@", "L3", "@"});
    const std::string error = ErrorOf([&] { PrintSheet(sheet); });
    EXPECT_EQ(error.rfind("System Error.  Code: 1286.\n", 0), 0u) << error;
    EXPECT_NE(error.find("not accepting jobs"), std::string::npos) << error;
    EXPECT_EQ(begun, 2);
    EXPECT_EQ(Jobs(), (std::vector<Lines>{{"L1"}}));
    EXPECT_FALSE(printer::Printer().Printing());
}

TEST_F(CupsPrintingTest, PrintPressedAgainDuringAJobIsRefusedAndTheFirstGoesOn)
{
    Fill(sheet, {"@", "L1", "@", "L2", "@", "L3", "L4"});
    std::string second = "not run";
    // Runs inside the first job, when the spooler lets the main loop work.
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (printer::Printer().Printing() && second == "not run")
            second = ErrorOf([&] { PrintSheet(sheet); });
    });
    probe.start(0);
    PrintSheet(sheet);
    EXPECT_EQ(second, "Printing in progress");
    EXPECT_EQ(Jobs(), (std::vector<Lines>{{"L1"}, {"L2"}, {"L3", "L4"}}));
}

TEST_F(CupsPrintingTest, LinesArrivingDuringPrintingArePrintedByTheSameWalk)
{
    Fill(sheet, {"@", "L1", "L2", "@", "L3"});
    QTimer::singleShot(0, [&] { sheet.AppendLine("L4"); });
    PrintSheet(sheet);
    EXPECT_EQ(Jobs(), (std::vector<Lines>{{"L1", "L2"}, {"L3", "L4"}}));
}

TEST_F(CupsPrintingTest, AHungServerIsReportedWhenTheBoundPassesWhileTheWindowGoesOn)
{
    UsePrinter(printer::MakeCupsSpooler(kTestBound));
    Fill(sheet, {"@", "L1", "L2"});

    // Hung before printing: the printer lookup waits for it.
    {
        Ticker ticker;
        cupsd->Hang();
        QElapsedTimer clock;
        clock.start();
        const std::string error = ErrorOf([&] { PrintSheet(sheet); });
        EXPECT_EQ(error.rfind("System Error.  Code: 1282.\n", 0), 0u) << error;
        EXPECT_NE(error.find("did not answer"), std::string::npos) << error;
        EXPECT_LT(clock.elapsed(), 8000);  // not libcups' minute
        EXPECT_GT(ticker.ticks, 5);        // the main loop ran while it waited
        cupsd->Resume();
    }

    // Hung when the rendered job is handed over.
    int waits = 0;
    printer::Printer().SetProgressCallback([&] {
        if (waits++ == 0)
            cupsd->Hang();
    });
    const std::string error = ErrorOf([&] { PrintSheet(sheet); });
    EXPECT_EQ(error.rfind("System Error.  Code: 1282.\n", 0), 0u) << error;
    EXPECT_GT(waits, 5);
    EXPECT_FALSE(printer::Printer().Printing());
    cupsd->Resume();
    // The half-sent job never prints, and its file is gone.
    EXPECT_TRUE(Jobs().empty());
    EXPECT_TRUE(std::filesystem::is_empty(renderDir));

    // Once the server answers again, printing works as before.
    printer::Printer().SetProgressCallback({});
    PrintSheet(sheet);
    EXPECT_EQ(Jobs(), (std::vector<Lines>{{"L1", "L2"}}));
}

TEST_F(CupsPrintingTest, ARemoteServerThatTakesNoConnectionIsReportedWhenTheBoundPasses)
{
    // A listening socket whose queue of connections is full: the kernel
    // drops further connection requests, as a silent remote server would.
    int listenerPort = 0;
    const int listener = BoundLoopbackSocket(listenerPort);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(listenerPort));
    std::vector<int> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(queued.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    cupsSetServer(("127.0.0.1:" + std::to_string(listenerPort)).c_str());

    UsePrinter(printer::MakeCupsSpooler(kTestBound));
    Fill(sheet, {"@", "L1", "L2"});
    Ticker ticker;
    const std::string error = ErrorOf([&] { PrintSheet(sheet); });
    EXPECT_EQ(error.rfind("System Error.  Code: 1282.\n", 0), 0u) << error;
    EXPECT_NE(error.find("did not answer"), std::string::npos) << error;
    EXPECT_GT(ticker.ticks, 5);
    for (int fd : queued)
        ::close(fd);
    ::close(listener);
}

TEST_F(CupsPrintingTest, TheBoundIsTheServersSilenceWhateverTheWindowDoesMeanwhile)
{
    UsePrinter(printer::MakeCupsSpooler(kTestBound));
    Fill(sheet, {"@", "L1", "L2"});
    // The server stalls as the job is handed over; meanwhile every turn of
    // the window takes a while (a line arriving, acknowledged after a pause).
    QElapsedTimer sinceHang;
    int calls = 0;
    printer::Printer().SetProgressCallback([&] {
        if (++calls == 1) {
            cupsd->Hang();
            sinceHang.start();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
    });
    const std::string error = ErrorOf([&] { PrintSheet(sheet); });
    EXPECT_NE(error.find("did not answer within 1 s"), std::string::npos) << error;
    EXPECT_LT(sinceHang.elapsed(), kTestBound.count() + 2000);
    EXPECT_GT(calls, 5);
    cupsd->Resume();
    EXPECT_TRUE(Jobs().empty());
}

TEST_F(CupsPrintingTest, TheDefaultPrinterFollowsTheSystemAndTheUsersChoice)
{
    Fill(sheet, {"@", "L1", "L2"});
    PrintSheet(sheet);  // the printer list is built here
    cupsd->AddQueue("Later");
    cupsd->SetDefault("Later");
    PrintSheet(sheet);
    // The user's own default comes first: LPDEST, then ~/.cups/lpoptions.
    setenv("LPDEST", "Other", 1);
    PrintSheet(sheet);
    unsetenv("LPDEST");
    const std::string lpoptions = std::string(getenv("HOME")) + "/.cups/lpoptions";
    std::filesystem::create_directories(std::filesystem::path(lpoptions).parent_path());
    std::ofstream(lpoptions) << "Default Q\n";
    PrintSheet(sheet);
    std::filesystem::remove(lpoptions);
    std::vector<std::string> queues;
    EXPECT_EQ(Jobs(nullptr, &queues).size(), 4u);
    EXPECT_EQ(queues, (std::vector<std::string>{"Q", "Later", "Other", "Q"}));
    cupsd->RemoveQueue("Later");
}

TEST_F(CupsPrintingTest, AnInstanceOfTheUsersPrintsWithItsOwnOptions)
{
    const std::string lpoptions = std::string(getenv("HOME")) + "/.cups/lpoptions";
    std::filesystem::create_directories(std::filesystem::path(lpoptions).parent_path());
    std::ofstream(lpoptions) << "Dest Other/two copies=2\nDefault Other/two\n";
    Fill(sheet, {"@", "L1", "L2"});
    PrintSheet(sheet);
    std::filesystem::remove(lpoptions);
    PrintSheet(sheet);  // on the system's default again
    const auto jobs = cupsd->FinishedJobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].queue, "Other");
    EXPECT_EQ(jobs[0].copies, 2);
    EXPECT_EQ(jobs[1].queue, "Q");
    EXPECT_EQ(jobs[1].copies, 1);
}

TEST_F(CupsPrintingTest, APageThatExactlyFillsTheSheetOfPaperTakesOneSheet)
{
    // How many lines one sheet of paper takes.
    std::vector<std::string> rows = {"@"};
    for (int i = 1; i <= 150; ++i)
        rows.push_back("Line " + std::to_string(i));
    Fill(sheet, rows);
    PrintSheet(sheet);
    const auto stored = cupsd->FinishedJobs();
    ASSERT_EQ(stored.size(), 1u);
    const auto pages = testing_support::JobPages(stored[0].path, area.x(), area.y(), area.width(), area.height());
    ASSERT_GE(pages.size(), 2u);
    const std::size_t perSheet = pages[0].size();
    EXPECT_GT(perSheet, 40u);

    for (std::size_t lines : {perSheet, perSheet + 1}) {
        SCOPED_TRACE(lines);
        cupsd->ClearJobs();
        Fill(sheet, std::vector<std::string>(rows.begin(), rows.begin() + 1 + static_cast<long>(lines)));
        sheet.AppendPageMarker();
        PrintSheet(sheet);
        std::vector<int> counts;
        const std::vector<Lines> jobs = Jobs(&counts);
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_EQ(counts, std::vector<int>{lines == perSheet ? 1 : 2});
        EXPECT_EQ(jobs[0].size(), lines);
    }
}

TEST_F(CupsPrintingTest, SavedAsPdfThePrintoutIsLaidOutAsPrintedWithItsFontEmbedded)
{
    std::vector<std::string> rows = {"@", "Gr\xFC\xDF" "e aus K\xF6ln", "5 \x80", "@"};
    for (int i = 1; i <= 90; ++i)  // more than one sheet of paper
        rows.push_back("Line " + std::to_string(i));
    rows.insert(rows.end(), {"@", "last"});
    Fill(sheet, rows);
    sheet.AppendLine("page");

    PrintSheet(sheet);
    std::vector<Lines> printedPages;
    for (const testing_support::StoredJob& job : cupsd->FinishedJobs())
        for (const Lines& page : testing_support::JobPages(job.path, area.x(), area.y(), area.width(), area.height()))
            printedPages.push_back(page);
    ASSERT_EQ(printedPages.size(), 4u);

    const std::string path = renderDir + "/../printout.pdf";
    printout::SaveSheetAsPdf(sheet, path);
    // One PDF page per sheet of paper the jobs took, each with the same lines.
    const auto pdfPages = testing_support::JobPages(path, area.x(), area.y(), area.width(), area.height());
    EXPECT_EQ(pdfPages, printedPages);
    EXPECT_EQ(pdfPages[0], (Lines{"Grüße aus Köln", "5 €"}));

    const std::string fonts = Output("pdffonts '" + path + "'");
    // One font, the monospaced face "Courier New" stands for, embedded.
    EXPECT_TRUE(std::regex_search(fonts, std::regex("\nLiberationMono +CID TrueType +Identity-H +yes ")))
        << fonts;
    EXPECT_EQ(std::count(fonts.begin(), fonts.end(), '\n'), 3) << fonts;
    const std::string layout = Output("pdftotext -layout '" + path + "' -");
    EXPECT_NE(layout.find("Line 90"), std::string::npos);
    // The default printer's paper (the locale's A4 here).
    EXPECT_NE(Output("pdfinfo " + path).find("595 x 842 pts (A4)"), std::string::npos);
    std::filesystem::remove(path);
}

TEST_F(CupsPrintingTest, APdfTakesTheDefaultPrintersPaperOrElseTheLocales)
{
    cupsd->AddQueue("LetterQ");
    cupsd->Run({"lpadmin", "-p", "LetterQ", "-o", "media-default=na_letter_8.5x11in"});
    cupsd->SetDefault("LetterQ");
    Fill(sheet, {"@", "L1", "L2"});
    const std::string path = renderDir + "/../paper.pdf";
    printout::SaveSheetAsPdf(sheet, path);
    EXPECT_NE(Output("pdfinfo " + path).find("612 x 792 pts (letter)"), std::string::npos);

    cupsd->RemoveQueue("LetterQ");  // no default printer now
    printout::SaveSheetAsPdf(sheet, path);
    EXPECT_NE(Output("pdfinfo " + path).find("595 x 842 pts (A4)"), std::string::npos);
    // A plain 10 mm margin, 28.3 pt: the text begins there.
    const double mm10 = 10 * 72 / 25.4;
    EXPECT_EQ(testing_support::JobPages(path, mm10, mm10, 595 - 2 * mm10, 842 - 2 * mm10),
              (std::vector<Lines>{{"L1", "L2"}}));
    EXPECT_EQ(testing_support::JobPages(path, mm10 - 7.2, mm10, 595 - 2 * mm10, 842 - 2 * mm10),
              (std::vector<Lines>{{" L1", " L2"}}));

    // A folder that does not exist: the reason, and no file.
    const std::string missing = renderDir + "/no-such-dir/x.pdf";
    EXPECT_EQ(ErrorOf([&] { printout::SaveSheetAsPdf(sheet, missing); }),
              "System Error.  Code: 2.\nNo such file or directory");
    EXPECT_TRUE(Jobs().empty());  // nothing went to a printer
    std::filesystem::remove(path);
}

} // namespace

namespace {

// Jobs are drawn in the server's folder and go to its one queue, the
// default, which takes printing only from an authenticated user.
void UseLockedQueue(PrivateCupsd& cupsd)
{
    setenv("TMPDIR", cupsd.Dir().c_str(), 1);
    cupsd.AddQueue("LockedQ");
    cupsd.SetDefault("LockedQ");
}

// A server that takes printing only from an authenticated user: lp, run as
// this user, authenticates by itself with libcups's local credentials; so
// does Print, without asking anybody for a password.
TEST(CupsAuthentication, PrintAuthenticatesAsLpDoes)
{
    testing_support::TestApp();
    printer::SetWaitCallback([] { QCoreApplication::processEvents(); });
    int asked = 0;
    printer::SetPasswordCallback([&](const std::string&, const std::string&) {
        ++asked;
        return std::optional<std::string>();
    });
    PrivateCupsd cupsd(true);
    UseLockedQueue(cupsd);
    const std::string document = cupsd.Dir() + "/lp.txt";
    std::ofstream(document) << "from lp\n";
    cupsd.Run({"lp", "-d", "LockedQ", document});
    ASSERT_EQ(cupsd.FinishedJobs().size(), 1u);
    cupsd.ClearJobs();

    auto previous = printer::SetPrinter(std::make_unique<printer::TPrinter>(printer::MakeCupsSpooler()));
    PrintoutSheet sheet;
    Fill(sheet, {"@", "L1", "L2", "@", "L3", "@"});
    EXPECT_EQ(ErrorOf([&] { PrintSheet(sheet); }), "");
    const auto jobs = cupsd.FinishedJobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].queue, "LockedQ");
    EXPECT_EQ(asked, 0);
    printer::SetPrinter(std::move(previous));
    printer::SetPasswordCallback({});
    printer::SetWaitCallback({});
}

TEST(CupsAuthentication, APasswordIsAskedWhereNeededAndTheTypingTimeIsNotTheServers)
{
    testing_support::TestApp();
    PrivateCupsd cupsd(true, false);
    UseLockedQueue(cupsd);
    std::vector<std::string> asked;
    printer::SetPasswordCallback([&](const std::string& user, const std::string&) {
        asked.push_back(user);
        std::this_thread::sleep_for(2 * kTestBound);  // the user thinks it over, and declines
        return std::optional<std::string>();
    });
    auto previous = printer::SetPrinter(std::make_unique<printer::TPrinter>(printer::MakeCupsSpooler(kTestBound)));
    PrintoutSheet sheet;
    Fill(sheet, {"@", "L1", "L2"});
    const std::string error = ErrorOf([&] { PrintSheet(sheet); });
    EXPECT_EQ(asked, std::vector<std::string>{cupsUser()});
    // Declined: the server's refusal, not its silence.
    EXPECT_EQ(error, "System Error.  Code: 1026.\nUnauthorized");
    EXPECT_TRUE(cupsd.FinishedJobs().empty());
    printer::SetPrinter(std::move(previous));
    printer::SetPasswordCallback({});
}

} // namespace
