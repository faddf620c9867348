// The printer object on a fake spooler: printer selection, the default
// printer rule, job and handle states, font fitting and its messages.

#include "printer_fixture.h"

#include <gtest/gtest.h>

using printer::EOSError;
using testing_support::ErrorOf;
using testing_support::FakePrinterTest;

namespace {

class PrinterObjectTest : public FakePrinterTest {};

TEST_F(PrinterObjectTest, IndexMinusOneSelectsTheDefaultPrinterAnewEachTime)
{
    state->printers = {"Office", "Label", "Shed"};
    Prn().SetPrinterIndex(-1);
    EXPECT_EQ(Prn().PrinterIndex(), 0);
    Prn().SetPrinterIndex(-1);
    state->defaultPrinter = "shed";  // case is ignored
    Prn().BeginDoc();
    Prn().EndDoc();
    ASSERT_EQ(state->jobs.size(), 1u);
    EXPECT_EQ(state->jobs[0].device, "Shed");
    EXPECT_EQ(Prn().Printers(), (std::vector<std::string>{"Office", "Label", "Shed"}));
}

TEST_F(PrinterObjectTest, PrinterSelectionMessages)
{
    EXPECT_EQ(ErrorOf([&] { Prn().SetPrinterIndex(2); }), "Printer index out of range");
    EXPECT_EQ(ErrorOf([&] { Prn().SetPrinterIndex(-2); }), "Printer index out of range");
    Prn().SetPrinterIndex(1);
    EXPECT_EQ(Prn().PrinterIndex(), 1);

    state->defaultPrinter.reset();
    EXPECT_EQ(ErrorOf([&] { Prn().SetPrinterIndex(-1); }),
              "There is no default printer currently selected");
    state->defaultPrinter = "Elsewhere";  // not in the printer list
    EXPECT_EQ(ErrorOf([&] { Prn().SetPrinterIndex(-1); }),
              "There is no default printer currently selected");

    state->defaultPrinter = "Office";
    state->lookupFailure = EOSError(1282, "The print server /x cannot be reached.");
    EXPECT_EQ(ErrorOf([&] { Prn().SetPrinterIndex(-1); }),
              "System Error.  Code: 1282.\nThe print server /x cannot be reached.");
}

TEST_F(PrinterObjectTest, ThePrinterListIsReadAgainOnlyForAPrinterItLacks)
{
    Prn().SetPrinterIndex(-1);
    Prn().SetPrinterIndex(-1);
    EXPECT_EQ(state->listReads, 1);

    state->printers.push_back("Shed");  // added while the program runs
    state->defaultPrinter = "Shed";
    Prn().SetPrinterIndex(-1);
    EXPECT_EQ(Prn().PrinterIndex(), 2);
    EXPECT_EQ(state->listReads, 2);

    Prn().SelectDevice("Label");
    EXPECT_EQ(Prn().PrinterIndex(), 1);
    EXPECT_EQ(state->listReads, 2);
    EXPECT_EQ(ErrorOf([&] { Prn().SelectDevice("Gone"); }), "Printer selected is not valid");
    EXPECT_EQ(state->listReads, 3);
}

TEST_F(PrinterObjectTest, APrinterListThatCannotBeReadIsNotKept)
{
    state->lookupFailure = EOSError(1282, "down");
    EXPECT_EQ(ErrorOf([&] { Prn().Printers(); }), "System Error.  Code: 1282.\ndown");
    state->lookupFailure.reset();
    EXPECT_EQ(Prn().Printers().size(), 2u);
}

TEST_F(PrinterObjectTest, MessagesWhileAJobIsOpenOrNot)
{
    EXPECT_EQ(ErrorOf([&] { Prn().EndDoc(); }), "Printer is not currently printing");
    EXPECT_EQ(ErrorOf([&] { Prn().NewPage(); }), "Printer is not currently printing");
    EXPECT_EQ(ErrorOf([&] { Prn().Canvas().TextOut(0, 0, "x"); }), "Printer is not currently printing");
    EXPECT_EQ(ErrorOf([&] { Prn().Canvas().TextExtent("x"); }), "Printer is not currently printing");

    Prn().BeginDoc();
    EXPECT_TRUE(Prn().Printing());
    EXPECT_EQ(ErrorOf([&] { Prn().BeginDoc(); }), "Printing in progress");
    EXPECT_EQ(ErrorOf([&] { Prn().SetPrinterIndex(-1); }), "Printing in progress");
    EXPECT_EQ(ErrorOf([&] { Prn().SetPrinterIndex(0); }), "Printing in progress");
    Prn().EndDoc();
    EXPECT_FALSE(Prn().Printing());
    EXPECT_FALSE(Prn().Aborted());
    EXPECT_EQ(state->jobs.size(), 1u);
}

TEST_F(PrinterObjectTest, PageNumbersCountFromOneAndReturnToZero)
{
    Prn().BeginDoc();
    EXPECT_EQ(Prn().PageNumber(), 1);
    Prn().NewPage();
    Prn().NewPage();
    EXPECT_EQ(Prn().PageNumber(), 3);
    Prn().EndDoc();
    EXPECT_EQ(Prn().PageNumber(), 0);
    ASSERT_EQ(state->jobs.size(), 1u);
    EXPECT_EQ(state->jobs[0].pages.size(), 3u);
}

TEST_F(PrinterObjectTest, HandleStatesAndContexts)
{
    EXPECT_EQ(Prn().State(), printer::psNoHandle);
    EXPECT_EQ(Prn().PageWidth(), 200);
    EXPECT_EQ(Prn().PageHeight(), 300);
    EXPECT_EQ(Prn().State(), printer::psHandleIC);
    EXPECT_EQ(state->contextsMade, 1);

    // Every job draws on a fresh drawing context.
    Prn().BeginDoc();
    EXPECT_EQ(Prn().State(), printer::psHandleDC);
    Prn().EndDoc();
    Prn().BeginDoc();
    Prn().EndDoc();
    EXPECT_EQ(state->drawingContextsMade, 2);
    // ... which also answers for the page size.
    EXPECT_EQ(Prn().PageWidth(), 200);
    EXPECT_EQ(Prn().State(), printer::psHandleDC);

    Prn().SetPrinterIndex(-1);
    EXPECT_EQ(Prn().State(), printer::psNoHandle);

    state->failContexts = true;
    EXPECT_EQ(ErrorOf([&] { Prn().PageWidth(); }), "Printer selected is not valid");
    EXPECT_EQ(ErrorOf([&] { Prn().BeginDoc(); }), "Printer selected is not valid");
    EXPECT_FALSE(Prn().Printing());
}

TEST_F(PrinterObjectTest, TheFontKeepsItsPointSizeAtThePrintersResolution)
{
    printer::TFont& font = Prn().Canvas().Font();
    font.SetName("Courier New");
    font.SetSize(12);
    EXPECT_EQ(font.Height(), 16);  // 96 pixels per inch before any job
    Prn().BeginDoc();
    Prn().Canvas().TextOut(0, 0, "x");
    Prn().NewPage();
    Prn().Canvas().TextOut(0, 0, "y");
    Prn().EndDoc();
    EXPECT_EQ(font.PixelsPerInch(), 600);
    EXPECT_EQ(font.Size(), 12);
    ASSERT_EQ(state->jobs.size(), 1u);
    // Selected for the job, and again on the new page.
    ASSERT_EQ(state->jobs[0].fonts.size(), 2u);
    EXPECT_EQ(state->jobs[0].fonts[0].name, "Courier New");
    EXPECT_EQ(state->jobs[0].fonts[0].pixelHeight, 100);
    EXPECT_EQ(state->jobs[0].fonts[1].pixelHeight, 100);
}

TEST_F(PrinterObjectTest, ARefusedJobEndsTheJobAndReportsTheSpoolersError)
{
    state->submitFailure = EOSError(1286, "Destination \"Office\" is not accepting jobs.");
    Prn().BeginDoc();
    EXPECT_EQ(ErrorOf([&] { Prn().EndDoc(); }),
              "System Error.  Code: 1286.\nDestination \"Office\" is not accepting jobs.");
    EXPECT_FALSE(Prn().Printing());
    EXPECT_EQ(Prn().PageNumber(), 0);
    state->submitFailure.reset();
    EXPECT_NO_THROW(Prn().BeginDoc());
    EXPECT_NO_THROW(Prn().EndDoc());
}

TEST_F(PrinterObjectTest, TheProgressCallbackRunsWhileTheJobIsOpen)
{
    int calls = 0;
    std::string nested;
    Prn().SetProgressCallback([&] {
        ++calls;
        EXPECT_TRUE(Prn().Printing());
        nested = ErrorOf([&] { Prn().BeginDoc(); });
    });
    Prn().BeginDoc();
    Prn().NewPage();
    Prn().EndDoc();
    EXPECT_EQ(calls, 2);  // the fake spooler: at the new page and at submission
    EXPECT_EQ(nested, "Printing in progress");
}

TEST_F(PrinterObjectTest, DestroyingThePrinterEndsAnOpenJob)
{
    Prn().BeginDoc();
    printer::SetPrinter(nullptr);
    ASSERT_EQ(state->jobs.size(), 1u);
    EXPECT_TRUE(state->jobs[0].ended);
}

TEST(OSErrorTest, MessageForms)
{
    EXPECT_STREQ(EOSError(5, "Access is denied.").what(), "System Error.  Code: 5.\nAccess is denied.");
    EXPECT_EQ(EOSError(5, "x").Code(), 5);
    EXPECT_STREQ(EOSError(0, "ignored").what(), "A call to an OS function failed");
}

TEST(OSErrorTest, MessagesPassThroughTheTranslator)
{
    printer::SetMessageTranslator([](std::string_view text) {
        if (text == "Printing in progress")
            return std::string("Druckvorgang l\xC3\xA4uft");
        if (text == "System Error.  Code: %d.\n%s")
            return std::string("Systemfehler. Code: %d.\n%s (%%)");
        return std::string(text);
    });
    const std::string inProgress = printer::EPrinter("Printing in progress").what();
    const std::string os = EOSError(7, "100% kaputt").what();
    const std::string other = printer::EPrinter("Printer index out of range").what();
    printer::SetMessageTranslator({});
    EXPECT_EQ(inProgress, "Druckvorgang l\xC3\xA4uft");
    EXPECT_EQ(os, "Systemfehler. Code: 7.\n100% kaputt (%)");
    EXPECT_EQ(other, "Printer index out of range");
    EXPECT_STREQ(printer::EPrinter("Printing in progress").what(), "Printing in progress");
}

} // namespace
