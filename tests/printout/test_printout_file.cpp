#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/mount.h>
#include <unistd.h>

#include "printout/printout_file.h"
#include "printout/printout_reader.h"
#include "tests/printout/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_files::Slurp;
using testing_files::TempDir;
using namespace std::chrono_literals;
using printout::PrintoutFile;
using printout::PrintoutFileFailure;
using printout::PrintoutRead;
using printout::PrintoutSheet;

std::vector<fs::path> Files(const fs::path& dir)
{
    std::vector<fs::path> files;
    if (fs::exists(dir))
        for (const auto& e : fs::directory_iterator(dir))
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

struct Failures {
    std::mutex lock;
    std::vector<PrintoutFileFailure> seen;
    std::vector<std::string> shown;
    std::atomic<int> keptAgain{0};
    PrintoutFile::Hooks Hooks(std::string port = "/dev/ttyUSB0")
    {
        PrintoutFile::Hooks hooks;
        hooks.portName = [port] { return port; };
        hooks.fileShown = [this](const std::string& path) {
            std::lock_guard l(lock);
            shown.push_back(path);
        };
        hooks.failed = [this](const PrintoutFileFailure& f) {
            std::lock_guard l(lock);
            seen.push_back(f);
        };
        hooks.keptAgain = [this] { ++keptAgain; };
        return hooks;
    }
};

} // namespace

TEST(PrintoutFile, FollowsTheSheetAndReadsBack)
{
    TempDir dir("quillprint-printouts");
    const fs::path folder = dir.path / "a/b/printouts"; // made on first use
    PrintoutSheet sheet;
    Failures failures;
    {
        PrintoutFile file(sheet, folder.string(), failures.Hooks());
        sheet.ResetSheet(); // a sheet without rows leaves no file
        sheet.ResetSheet();
        for (const char* row : {"Race 1", "\xE9t\xE9 \x80 5", "@", "", "end"})
            std::string_view(row) == "@" ? sheet.AppendPageMarker() : sheet.AppendLine(row);
        EXPECT_TRUE(file.WaitDurable(5s));
        const auto files = Files(folder);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(Slurp(files[0]), "Race 1\n\xC3\xA9t\xC3\xA9 \xE2\x82\xAC 5\n\f\n\nend\n");
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
        EXPECT_EQ(fs::status(files[0]).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

        // Shown from its file, it is not written again; a fresh sheet is a new file.
        const PrintoutRead back = printout::ReadPrintoutFile(files[0].string());
        ASSERT_EQ(back.status, PrintoutRead::Status::Ok);
        EXPECT_EQ(back.rows, (std::vector<std::string>{"Race 1", "\xE9t\xE9 \x80 5", "@", "", "end"}));
        sheet.LoadRows(back.rows);
        file.Shown(files[0].string());
        EXPECT_EQ(sheet.RowCount(), 6);
        EXPECT_EQ(sheet.RowText(2), "\xE9t\xE9 \x80 5");
        sheet.ResetSheet();
        sheet.AppendLine("next");
    }
    const auto files = Files(folder);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(Slurp(files[1]), "next\n");
    EXPECT_TRUE(failures.seen.empty());
    // What the sheet showed, in order: fresh sheets, files as made or loaded.
    EXPECT_EQ(failures.shown, (std::vector<std::string>{"", "", "", files[0].string(), files[0].string(), "",
                                                        files[1].string()}));
    // Named by local time and the port.
    EXPECT_TRUE(files[0].filename().string().ends_with("_ttyUSB0.txt")) << files[0];
    EXPECT_EQ(printout::PrintoutFileName(0, "COM 1").substr(19), "_COM_1.txt");
}

TEST(PrintoutFile, ReadsTextOfOtherPrograms)
{
    const std::string big(100, 'x');
    struct Case {
        std::string bytes;
        PrintoutRead::Status status;
        std::vector<std::string> rows;
    } cases[] = {
        {"a\r\nb\r\n", PrintoutRead::Status::Ok, {"a", "b"}},
        {"caf\xE9\n\x80", PrintoutRead::Status::Ok, {"caf\xE9", "\x80"}},         // Windows-1252
        {"\xEF\xBB\xBF" "caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\xAD", PrintoutRead::Status::Ok, {"caf\xE9 \x80 ?"}},
        {"a\tb\n@\n", PrintoutRead::Status::Ok, {"a b", ""}},
        {"p1\fp2\n\f\n", PrintoutRead::Status::Ok, {"p1", "@", "p2", "@"}},
        {"", PrintoutRead::Status::Ok, {}},
        {std::string("text\0more", 9), PrintoutRead::Status::NotText, {}},
        {"\x01\x02\x03\x04 binary", PrintoutRead::Status::NotText, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const PrintoutRead read = printout::ParsePrintout(c.bytes);
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.rows, c.rows);
    }
    TempDir dir("quillprint-printouts");
    std::ofstream(dir.path / "big.txt") << big;
    EXPECT_EQ(printout::ReadPrintoutFile((dir.path / "big.txt").string(), 99).status, PrintoutRead::Status::TooLarge);
    EXPECT_EQ(printout::ReadPrintoutFile((dir.path / "big.txt").string(), 100).status, PrintoutRead::Status::Ok);
    const PrintoutRead missing = printout::ReadPrintoutFile((dir.path / "none.txt").string());
    EXPECT_EQ(missing.status, PrintoutRead::Status::Unreadable);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(printout::ReadPrintoutFile(dir.path.string()).status, PrintoutRead::Status::NotText);
}

TEST(PrintoutFile, AFullDiskIsReportedOncePerSheetAndHoldsNothingUp)
{
    TempDir dir("quillprint-printouts");
    if (::mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    PrintoutSheet sheet;
    Failures failures;
    PrintoutFile file(sheet, dir.path.string(), failures.Hooks());
    sheet.ResetSheet();
    const std::string line(200, 'x');
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) { // 200 kB into 64 kB
        sheet.AppendLine(line);
        EXPECT_TRUE(file.WaitDurable(5s));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    {
        std::lock_guard l(failures.lock);
        ASSERT_EQ(failures.seen.size(), 1u);
        EXPECT_EQ(failures.seen[0].error, ENOSPC);
        EXPECT_EQ(failures.seen[0].step, PrintoutFileFailure::Step::Write);
        EXPECT_EQ(fs::path(failures.seen[0].path).parent_path(), dir.path);
    }
    // The next sheet tries again, and says so again.
    sheet.ResetSheet();
    sheet.AppendLine(line);
    EXPECT_TRUE(file.WaitDurable(5s));
    std::lock_guard l(failures.lock);
    EXPECT_EQ(failures.seen.size(), 2u);
}

TEST(PrintoutFile, AFullDiskThatEmptiesAgainGetsEveryRowOnceInOrder)
{
    TempDir dir("quillprint-printouts");
    if (::mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    const fs::path folder = dir.path / "printouts";
    fs::create_directories(folder);
    {
        // Whatever else is on the disk has taken all of it.
        std::ofstream filler(dir.path / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) {
        }
    }
    PrintoutSheet sheet;
    Failures failures;
    PrintoutFile file(sheet, folder.string(), failures.Hooks());
    sheet.ResetSheet();
    std::string expected;
    for (int i = 0; i < 30; ++i) {
        const std::string row = "row " + std::to_string(i) + std::string(300, '.');
        i % 10 == 9 ? sheet.AppendPageMarker() : sheet.AppendLine(row);
        expected += i % 10 == 9 ? std::string("\f\n") : row + "\n";
        EXPECT_TRUE(file.WaitDurable(5s)); // settled: tried, and refused
    }
    EXPECT_EQ(file.LinesNotOnDisk(), 27u);
    // Space comes back: the next try, without a new row, catches up.
    fs::remove(dir.path / "filler");
    for (int i = 0; i < 100 && failures.keptAgain == 0; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(failures.keptAgain, 1);
    EXPECT_EQ(file.LinesNotOnDisk(), 0u);
    sheet.AppendLine("after");
    expected += "after\n";
    EXPECT_TRUE(file.WaitDurable(5s));
    const auto files = Files(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Slurp(files[0]), expected);
    std::lock_guard l(failures.lock);
    ASSERT_EQ(failures.seen.size(), 1u);
    EXPECT_EQ(failures.seen[0].error, ENOSPC);
}
