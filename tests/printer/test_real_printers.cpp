// What printers nobody here wrote receive from Print, Print on... and Save as
// PDF...: CUPS's IPP Everywhere simulator (one printer on Letter, one on A4,
// neither with 10 pt margins) and the desktop PDF printer, each behind a
// private cupsd as a desktop queues it.

#include "real_printers.h"
#include "sheet_rows.h"
#include "printer/cups_spooler.h"
#include "printer/printer.h"
#include "printout/page_printing.h"
#include "printout/sheet.h"
#include "../qt_test_app.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using testing_support::PrivateCupsd;
using testing_support::SimulatedPrinter;
using testing_support::WordBox;

// An A4 printer with margins of its own: 4.23 mm at the bottom, 5.29 mm at
// the sides (15 pt), 8.46 mm at the top (24 pt).
constexpr const char* kA4Printer = R"(ATTR mimeMediaType document-format-supported application/pdf,image/pwg-raster
ATTR mimeMediaType document-format-default application/octet-stream
ATTR keyword media-default iso_a4_210x297mm
ATTR keyword media-supported iso_a4_210x297mm,na_letter_8.5x11in
ATTR keyword media-ready iso_a4_210x297mm
ATTR integer media-bottom-margin-supported 423
ATTR integer media-left-margin-supported 529
ATTR integer media-right-margin-supported 529
ATTR integer media-top-margin-supported 846
ATTR collection media-col-default {
  MEMBER collection media-size { MEMBER integer x-dimension 21000 MEMBER integer y-dimension 29700 }
  MEMBER keyword media-size-name iso_a4_210x297mm
  MEMBER integer media-bottom-margin 423
  MEMBER integer media-left-margin 529
  MEMBER integer media-right-margin 529
  MEMBER integer media-top-margin 846
}
ATTR collection media-size-supported { MEMBER integer x-dimension 21000 MEMBER integer y-dimension 29700 },{ MEMBER integer x-dimension 21590 MEMBER integer y-dimension 27940 }
ATTR collection media-col-database {
  MEMBER collection media-size { MEMBER integer x-dimension 21000 MEMBER integer y-dimension 29700 }
  MEMBER integer media-bottom-margin 423
  MEMBER integer media-left-margin 529
  MEMBER integer media-right-margin 529
  MEMBER integer media-top-margin 846
},{
  MEMBER collection media-size { MEMBER integer x-dimension 21590 MEMBER integer y-dimension 27940 }
  MEMBER integer media-bottom-margin 423
  MEMBER integer media-left-margin 529
  MEMBER integer media-right-margin 529
  MEMBER integer media-top-margin 846
}
ATTR resolution pwg-raster-document-resolution-supported 300dpi
ATTR keyword pwg-raster-document-type-supported black_1,sgray_8
ATTR keyword pwg-raster-document-sheet-back normal
ATTR text printer-make-and-model "A4 test printer"
)";

constexpr const char* kFirstWord = "QUILLPRINT-0123456789";  // 21 characters

class RealPrintersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        testing_support::TestApp();
        printer::SetWaitCallback([] { QCoreApplication::processEvents(); });
        cupsd = new PrivateCupsd();
        setenv("TMPDIR", (cupsd->Dir() + "/tmp").c_str(), 1);
        letter = new SimulatedPrinter(*cupsd, "Letter18");
        letter->AddQueue("EveLetter");
        a4 = new SimulatedPrinter(*cupsd, "A4", kA4Printer);
        a4->AddQueue("EveA4");
        cupsPdfMissing = testing_support::CupsPdfUnavailable();
        if (cupsPdfMissing.empty())
            cupsPdfOut = testing_support::AddCupsPdfQueue(*cupsd, "DesktopPDF");
        cupsd->AddQueue("Raw");  // describes no paper of its own
    }
    static void TearDownTestSuite()
    {
        printer::SetWaitCallback({});
        delete letter;
        delete a4;
        delete cupsd;
        letter = a4 = nullptr;
        cupsd = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(cupsd, nullptr);
        previous_ = printer::SetPrinter(std::make_unique<printer::TPrinter>(printer::MakeCupsSpooler()));
    }
    void TearDown() override { printer::SetPrinter(std::move(previous_)); }

    static PrivateCupsd* cupsd;
    static SimulatedPrinter* letter;
    static SimulatedPrinter* a4;
    static std::string cupsPdfMissing;
    static std::string cupsPdfOut;

private:
    std::unique_ptr<printer::TPrinter> previous_;
};

PrivateCupsd* RealPrintersTest::cupsd = nullptr;
SimulatedPrinter* RealPrintersTest::letter = nullptr;
SimulatedPrinter* RealPrintersTest::a4 = nullptr;
std::string RealPrintersTest::cupsPdfMissing;
std::string RealPrintersTest::cupsPdfOut;

TEST_F(RealPrintersTest, EachPrinterGetsItsOwnPaperWithTheTextAtItsPrintableCornerIn12PointCourier)
{
    enum How { kPrint, kPrintOn, kSaveAsPdf };
    struct Case {
        How how;
        std::string queue;    // printed on, or the default printer for a PDF
        double width, height; // its default paper, points
        double left, top;     // its printable area's corner
        std::string media = {};      // picked in Print on...'s dialog instead
        std::string lpoptions = {};  // the user's ~/.cups/lpoptions
    };
    const double a4w = 210 * 72 / 25.4, a4h = 297 * 72 / 25.4;
    // ctest runs this also with the locale's paper Letter.
    const char* measurement = std::getenv("LC_MEASUREMENT");
    const bool usLocale = measurement && std::string(measurement).rfind("en_US", 0) == 0;
    const std::vector<Case> cases = {
        {kPrint, "EveLetter", 612, 792, 18, 18},
        {kPrint, "EveA4", a4w, a4h, 529 * 72 / 2540.0, 846 * 72 / 2540.0},
        {kPrint, "DesktopPDF", 595, 842, 0, 0},
        // The user's lpoptions name the paper: the A4 printer's margins for Letter.
        {kPrint, "EveA4", 612, 792, 529 * 72 / 2540.0, 846 * 72 / 2540.0, "", "Dest EveA4 media=Letter\n"},
        {kPrintOn, "EveA4", a4w, a4h, 529 * 72 / 2540.0, 846 * 72 / 2540.0},
        {kPrintOn, "EveLetter", 612, 792, 18, 18},
        // Letter picked for the A4 printer: its margins for Letter.
        {kPrintOn, "EveA4", 612, 792, 529 * 72 / 2540.0, 846 * 72 / 2540.0, "Letter"},
        {kSaveAsPdf, "EveLetter", 612, 792, 18, 18},
        {kSaveAsPdf, "EveA4", a4w, a4h, 529 * 72 / 2540.0, 846 * 72 / 2540.0},
        // A queue without a description of its own: the locale's paper, 10 pt.
        {kPrint, "Raw", usLocale ? 612 : a4w, usLocale ? 792 : a4h, 10, 10},
    };
    printout::PrintoutSheet sheet;
    testing_support::Fill(sheet, {"@", std::string(kFirstWord) + " K7", "second line", "@"});
    const std::string saved = cupsd->Dir() + "/saved.pdf";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.queue + (c.how == kPrint ? " Print" : c.how == kPrintOn ? " Print on" : " Save as PDF") +
                     (c.media.empty() ? "" : " " + c.media) + " " + c.lpoptions);
        const bool cupsPdf = c.queue == "DesktopPDF";
        if (cupsPdf && !cupsPdfMissing.empty()) {
            std::printf("cups-pdf row left out: %s\n", cupsPdfMissing.c_str());
            continue;
        }
        letter->ClearReceived();
        a4->ClearReceived();
        cupsd->ClearJobs();
        const std::filesystem::path lpoptions = std::string(std::getenv("HOME")) + "/.cups/lpoptions";
        std::filesystem::create_directories(lpoptions.parent_path());
        std::filesystem::remove(lpoptions);
        if (!c.lpoptions.empty())
            std::ofstream(lpoptions) << c.lpoptions;
        // Print on... picks a printer that is not the default.
        cupsd->SetDefault(c.how == kPrintOn ? (c.queue == "EveA4" ? "EveLetter" : "EveA4") : c.queue);
        std::string document;
        if (c.how == kSaveAsPdf) {
            printout::SaveSheetAsPdf(sheet, saved);
            document = saved;
        } else {
            printout::PrintTarget target;
            if (c.how == kPrintOn) {
                target.device = c.queue;
                target.media = c.media;
            }
            printout::PrintSheet(sheet, target);
            std::vector<std::string> received;
            if (cupsPdf) {
                cupsd->FinishedJobs();
                received = testing_support::PdfFilesIn(cupsPdfOut);
            } else if (c.queue == "Raw") {
                for (const testing_support::StoredJob& job : cupsd->FinishedJobs())
                    received.push_back(job.path);
            } else {
                received = (c.queue == "EveA4" ? a4 : letter)->Received();
            }
            ASSERT_EQ(received.size(), 1u);
            document = received[0];
            // Nothing reached the other simulated printer.
            EXPECT_TRUE((c.queue == "EveA4" ? letter : a4)->Received().empty());
        }
        // A PDF printer's converted fonts cannot be read back as text: its
        // document must be inked just where the same pages saved as PDF are,
        // whose text is read instead.
        std::string readable = document;
        if (cupsPdf) {
            printout::SaveSheetAsPdf(sheet, saved);
            readable = saved;
            const testing_support::InkBox got = testing_support::FirstPageInk(document);
            const testing_support::InkBox want = testing_support::FirstPageInk(saved);
            ASSERT_FALSE(want.empty);
            EXPECT_NEAR(got.left, want.left, 1);
            EXPECT_NEAR(got.top, want.top, 1);
            EXPECT_NEAR(got.right, want.right, 1);
            EXPECT_NEAR(got.bottom, want.bottom, 1);
        }
        const std::vector<WordBox> words = testing_support::FirstPageWords(readable);
        ASSERT_FALSE(words.empty());
        const WordBox& first = words[0];
        EXPECT_EQ(first.word, kFirstWord);
        const WordBox page = testing_support::FirstPageWords(document).at(0);
        EXPECT_NEAR(page.pageWidth, c.width, 1);
        EXPECT_NEAR(page.pageHeight, c.height, 1);
        // The character cell's top-left corner, as poppler places it.
        EXPECT_NEAR(first.xMin, c.left, 1);
        EXPECT_NEAR(first.yMin, c.top, 1);
        EXPECT_NEAR((first.xMax - first.xMin) / 21, 7.2, 0.1);  // 12 pt Courier
        if (cupsPdf)
            for (const std::string& f : testing_support::PdfFilesIn(cupsPdfOut))
                std::filesystem::remove(f);
    }
    std::filesystem::remove(std::string(std::getenv("HOME")) + "/.cups/lpoptions");
}

} // namespace
