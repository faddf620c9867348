// Appending a long printout to the sheet with its view alive, the way the
// receiver does it, and the raw speed of the frame parser.

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "clocklink/frame.h"
#include "clocklink/parser.h"
#include "printout/sheet_view.h"

namespace {

using Clock = std::chrono::steady_clock;

long ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

void BenchSheet()
{
    constexpr int kRows = 1'000'000;
    constexpr int kTenth = kRows / 10;
    printout::PrintoutSheet sheet;
    printout::SheetGrid grid(sheet);
    grid.resize(714, 434);
    grid.show();
    QApplication::processEvents();
    sheet.ResetSheet();

    // Per row as the slope between half the rows and all of them: the fonts
    // that load at the first paint (some MB) are in both.
    long rssHalf = 0;
    std::string line(40, ' ');
    double firstUs = 0, lastUs = 0;
    int linesInPage = 0;
    auto segmentStart = Clock::now();
    for (int row = 1; row <= kRows; ++row) {
        if (linesInPage == 60) {
            sheet.AppendPageMarker();
            linesInPage = 0;
        } else {
            std::snprintf(line.data(), line.size(), "%08d  M\xFCller   1:02:%02d  1234.567", row, row % 60);
            line[39] = 'm';
            sheet.AppendLine(line);
            ++linesInPage;
        }
        sheet.ShowLastRow();
        if (row % 1000 == 0)
            QApplication::processEvents(); // the view repaints and its scroll bar catches up
        if (row == kRows / 2)
            rssHalf = ResidentBytes();
        if (row == kTenth) {
            firstUs = std::chrono::duration<double, std::micro>(Clock::now() - segmentStart).count() / kTenth;
        } else if (row == kRows - kTenth) {
            segmentStart = Clock::now();
        }
    }
    lastUs = std::chrono::duration<double, std::micro>(Clock::now() - segmentStart).count() / kTenth;
    const long rssAfter = ResidentBytes();

    std::printf("sheet_append_us_first10pct: %.3f us\n", firstUs);
    std::printf("sheet_append_us_last10pct: %.3f us\n", lastUs);
    std::printf("sheet_append_ratio_last_first: %.3f ratio\n", lastUs / firstUs);
    std::printf("sheet_bytes_per_row: %.1f bytes\n", double(rssAfter - rssHalf) / (kRows - kRows / 2));
}

void BenchParser()
{
    constexpr std::size_t kStreamBytes = 64u << 20;
    std::string stream;
    stream.reserve(kStreamBytes + 300);
    std::string payload(40, 'x');
    for (int i = 0; stream.size() < kStreamBytes; ++i) {
        std::snprintf(payload.data(), payload.size(), "%08d  Ring DV-0%04d-23  %02d:%02d:%02d", i, i % 10000,
                      i % 24, i % 60, (i * 7) % 60);
        payload[39] = i % 60 == 59 ? '\x0C' : '.';
        stream += clocklink::MakeFrame(clocklink::kRequestStart, clocklink::kSubCodeU,
                                       i % 2 ? clocklink::kCommandLine : clocklink::kCommandQuiet, payload);
    }
    clocklink::ClockFrameParser parser;
    std::size_t frames = 0, textBytes = 0;
    const auto start = Clock::now();
    for (unsigned char b : stream) {
        if (parser.Feed(b)) {
            ++frames;
            textBytes += parser.Last().line.size();
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("parser_mb_per_s: %.1f MB/s\n", stream.size() / 1e6 / seconds);
    std::fprintf(stderr, "(parser: %zu frames, %zu text bytes)\n", frames, textBytes);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    BenchSheet();
    BenchParser();
    return 0;
}
