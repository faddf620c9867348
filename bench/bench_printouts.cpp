// The printout file: writing and flushing one line, and a start that
// restores a long printout after a crash. Files go to the build folder's
// disk (the current folder), as the program's would go to the user's.

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/form1.h"
#include "app/printout_keeper.h"
#include "printout/printout_file.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

fs::path FreshFolder(const char* name)
{
    const fs::path folder = fs::current_path() / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

// One line as the receiver writes it: appended, then waited for on disk
// before its acknowledgement.
void BenchLineWrite()
{
    const fs::path folder = FreshFolder("bench-printout-file");
    printout::PrintoutSheet sheet;
    std::vector<double> us;
    {
        printout::PrintoutFile::Hooks hooks;
        hooks.portName = [] { return std::string("ttyUSB0"); };
        printout::PrintoutFile file(sheet, folder.string(), std::move(hooks));
        sheet.ResetSheet();
        for (int i = 0; i < 1000; ++i) {
            const auto start = Clock::now();
            sheet.AppendLine("Line " + std::to_string(i) + "  DV-06543-23  12:34:56  1234.567");
            file.WaitDurable(5s);
            us.push_back(Ms(Clock::now() - start) * 1000);
        }
    }
    std::sort(us.begin(), us.end());
    std::printf("printout_file_us_per_line: %.1f us\n", us[us.size() / 2]);
    std::fprintf(stderr, "(printout file: p99 %.1f us)\n", us[us.size() * 99 / 100]);
    fs::remove_all(folder);
}

// From the keeper's start to the restored sheet painted once.
void BenchRestore()
{
    const fs::path home = FreshFolder("bench-printout-home");
    ::setenv("XDG_DATA_HOME", home.c_str(), 1);
    const fs::path printouts = home / "quillprint/printouts", runs = home / "quillprint/runs";
    fs::create_directories(printouts);
    fs::create_directories(runs);
    const fs::path kept = printouts / "2026-12-09_14-32-05_ttyUSB0.txt";
    {
        std::ofstream out(kept, std::ios::binary);
        for (int i = 0; i < 100'000; ++i)
            out << (i % 60 == 59 ? std::string("\f") : std::to_string(i) + "  M\xC3\xBCller  DV-06543-23  1:02:03  1234.567")
                << '\n';
    }
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
        std::ofstream(runs / "crashed.run") << kept.string() << '\n'; // left unlocked
        app::TForm1 form;
        const auto start = Clock::now();
        app::TPrintoutKeeper keeper(form);
        if (!keeper.RestoreAfterCrash() || form.Sheet().RowCount() != 100'001)
            std::fprintf(stderr, "(restore failed)\n");
        form.show();
        form.repaint();
        times.push_back(Ms(Clock::now() - start));
        QTimer::singleShot(0, [] {
            if (QWidget* box = QApplication::activeModalWidget())
                box->close();
        });
        QApplication::processEvents();
    }
    std::sort(times.begin(), times.end());
    std::printf("restore_ms_100k_rows: %.1f ms\n", times[times.size() / 2]);
    fs::remove_all(home);
}

} // namespace

int main(int argc, char** argv)
{
    app::TApplication application(argc, argv);
    app::InstallFontSubstitutes();
    BenchLineWrite();
    BenchRestore();
    return 0;
}
