// Printing a 100-page sheet of 40 lines a page (each fits one sheet of
// paper) through a private cupsd, from the Print button's walk until CUPS
// reports every job completed; against lp sending the same PDF to the same
// cupsd; saving the same sheet as one PDF file (best of five); and a
// 3-page sheet on CUPS's IPP Everywhere simulator, queued as a desktop
// queues it, from the click to the last job at the printer (median of five).

#include "../tests/printer/cupsd_harness.h"
#include "../tests/printer/real_printers.h"
#include "printer/cups_spooler.h"
#include "printer/printer.h"
#include "printout/page_printing.h"
#include "printout/sheet.h"

#include <QGuiApplication>

#include <algorithm>
#include <filesystem>
#include <vector>
#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    testing_support::PrivateCupsd cupsd;
    cupsd.AddQueue("Bench");
    cupsd.SetDefault("Bench");

    constexpr int kPages = 100;
    constexpr int kLines = 40;
    printout::PrintoutSheet sheet;
    sheet.ResetSheet();
    for (int p = 0; p < kPages; ++p) {
        for (int l = 0; l < kLines; ++l)
            sheet.AppendLine("Page " + std::to_string(p + 1) + " line " + std::to_string(l + 1) +
                             "  K7 0815 4711  12:34:56.78  1234.567 m/min");
        sheet.AppendPageMarker();
    }

    // One warm-up job, so the figures do not include fontconfig's start.
    printout::PrintoutSheet one;
    one.ResetSheet();
    one.AppendLine("warm-up");
    one.AppendLine("warm-up");
    printout::PrintSheet(one);
    cupsd.FinishedJobs();
    cupsd.ClearJobs();

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    printout::PrintSheet(sheet);
    const auto submitted = Clock::now();
    const auto jobs = cupsd.FinishedJobs(600);
    const auto done = Clock::now();
    if (jobs.size() != kPages) {
        std::fprintf(stderr, "expected %d jobs, got %zu\n", kPages, jobs.size());
        return 1;
    }
    const double total = std::chrono::duration<double, std::milli>(done - start).count();
    const double submit = std::chrono::duration<double, std::milli>(submitted - start).count();
    std::printf("print_ms_per_job: %.1f ms\n", total / kPages);
    std::printf("print_ms_total_100_pages: %.0f ms\n", total);
    std::printf("print_ms_submit_100_pages: %.0f ms\n", submit);

    // Ours against lp, one-page jobs, in rounds that take turns.
    const std::string document = cupsd.Dir() + "/one-page.pdf";
    std::filesystem::copy_file(jobs.front().path, document);
    printout::PrintoutSheet page;
    page.ResetSheet();
    for (int l = 0; l < kLines; ++l)
        page.AppendLine("Page 1 line " + std::to_string(l + 1) + "  K7 0815 4711  12:34:56.78  1234.567 m/min");
    page.AppendPageMarker();
    constexpr int kRounds = 5;
    constexpr int kJobs = 20;
    std::vector<double> ratios;
    double oursBest = 1e9, lpBest = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        cupsd.ClearJobs();
        const auto oursStart = Clock::now();
        for (int j = 0; j < kJobs; ++j)
            printout::PrintSheet(page);
        cupsd.FinishedJobs(600);
        const double ours = std::chrono::duration<double, std::milli>(Clock::now() - oursStart).count() / kJobs;
        cupsd.ClearJobs();
        const auto lpStart = Clock::now();
        for (int j = 0; j < kJobs; ++j)
            cupsd.Run({"lp", "-d", "Bench", document});
        cupsd.FinishedJobs(600);
        const double lp = std::chrono::duration<double, std::milli>(Clock::now() - lpStart).count() / kJobs;
        ratios.push_back(ours / lp);
        oursBest = std::min(oursBest, ours);
        lpBest = std::min(lpBest, lp);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("print_ms_per_one_page_job: %.1f ms\n", oursBest);
    std::printf("lp_ms_per_one_page_job: %.1f ms\n", lpBest);
    std::printf("print_ratio_vs_lp: %.2f ratio\n", ratios[ratios.size() / 2]);

    // The same sheet saved as one PDF (its paper from the default printer).
    const std::string pdf = cupsd.Dir() + "/bench.pdf";
    printout::SaveSheetAsPdf(sheet, pdf);  // warm-up
    constexpr int kRuns = 5;
    double best = 1e9;
    for (int i = 0; i < kRuns; ++i) {
        const auto pdfStart = Clock::now();
        printout::SaveSheetAsPdf(sheet, pdf);
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - pdfStart).count());
    }
    std::printf("pdf_ms_100_pages: %.0f ms\n", best);

    testing_support::SimulatedPrinter everywhere(cupsd, "Bench");
    everywhere.AddQueue("Everywhere");
    cupsd.SetDefault("Everywhere");
    printout::PrintoutSheet three;
    three.ResetSheet();
    for (int p = 0; p < 3; ++p) {
        for (int l = 0; l < kLines; ++l)
            three.AppendLine("Page " + std::to_string(p + 1) + " line " + std::to_string(l + 1) +
                             "  K7 0815 4711  12:34:56.78  1234.567 m/min");
        three.AppendPageMarker();
    }
    printout::PrintSheet(one);  // warm-up: the queue's filters, the printer's first connection
    everywhere.Received();
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
        everywhere.ClearReceived();
        const auto click = Clock::now();
        printout::PrintSheet(three);
        const std::size_t received = everywhere.Received(600).size();
        times.push_back(std::chrono::duration<double>(Clock::now() - click).count());
        if (received != 3) {
            std::fprintf(stderr, "the simulated printer received %zu documents, not 3\n", received);
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("print_everywhere_s_3_pages: %.2f s\n", times[times.size() / 2]);
    printer::SetPrinter(nullptr);
    return 0;
}
