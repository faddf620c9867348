// Earlier printouts opened into the window's sheet, and a PDF saved over an
// existing file.

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QTreeView>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <sys/mount.h>

#include "app/printout_keeper.h"
#include "printer/errors.h"
#include "printout/page_printing.h"
#include "printout/sheet_view.h"
#include "tests/printout/temp_dir.h"
#include "window_rig.h"

using namespace testing_support;

namespace {

namespace fs = std::filesystem;
using testing_files::Slurp;
using testing_files::TempDir;

std::vector<std::string> Rows(const printout::PrintoutSheet& sheet)
{
    std::vector<std::string> rows;
    for (int row = 0; row < sheet.RowCount(); ++row)
        rows.emplace_back(sheet.RowText(row));
    return rows;
}

} // namespace

TEST(OpenPrintout, FillsTheSheetFromAKeptFileAndRefusesOthers)
{
    SetUpProgram();
    TempDir home("quillprint-open");
    ::setenv("XDG_DATA_HOME", home.path.c_str(), 1);
    const fs::path folder = home.path / "quillprint/printouts";
    fs::create_directories(folder);
    // Saved by another program: CRLF and Windows-1252.
    const fs::path kept = folder / "2026-12-01_10-00-00_ttyUSB0.txt";
    std::ofstream(kept, std::ios::binary) << "Race 1\r\nK7 caf\xE9\r\n\f\r\nRace 2\r\n";

    FakePortTree ports;
    app::TForm1 form;
    app::TPrintoutKeeper keeper(form);
    form.show();
    QString shownFolder;
    {
        DialogAnswerer<QFileDialog> answer([&](QFileDialog& dialog) {
            shownFolder = dialog.directory().absolutePath();
            // Newest first.
            const QHeaderView* header = dialog.findChild<QTreeView*>()->header();
            EXPECT_EQ(header->sortIndicatorSection(), 3);
            EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
            ChooseFile(dialog, QString::fromStdString(kept.string()));
        });
        form.StringGrid1->OpenPrintoutAction()->trigger();
        EXPECT_TRUE(answer.seen);
    }
    EXPECT_EQ(shownFolder.toStdString(), folder.string());
    const std::vector<std::string> opened{"@", "Race 1", "K7 caf\xE9", "@", "Race 2"};
    EXPECT_EQ(Rows(form.Sheet()), opened);
    EXPECT_FALSE(form.BitBtn2->isEnabled()); // Print keeps its own rules
    form.StringGrid1->setFocus();
    form.Sheet().SelectRow(1);
    EXPECT_EQ(form.StringGrid1->SelectedText(), "Race 1\n");

    // Not a printout: a clear error, the sheet as it was, no new file.
    const fs::path binary = folder / "logo.png";
    std::ofstream(binary, std::ios::binary) << std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
    try {
        keeper.OpenPrintoutFile(QString::fromStdString(binary.string()));
        ADD_FAILURE() << "opened a binary file";
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), "The file " + binary.string() + " is not a printout: it is not text");
    }
    EXPECT_EQ(Rows(form.Sheet()), opened);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);

    // Not while a clock is connected.
    QuietLine line;
    ports.Add("ttyUSB0", line.path);
    form.ComboBox1->setEditText(QStringLiteral("ttyUSB0"));
    form.BitBtn1->click();
    ASSERT_TRUE(form.ComPort1.Connected());
    {
        DialogAnswerer<QFileDialog> answer([](QFileDialog& dialog) { dialog.reject(); });
        form.StringGrid1->OpenPrintoutAction()->trigger();
        EXPECT_FALSE(answer.seen);
    }
    form.BitBtn1->click();
}

TEST(SaveAsPdf, AFailedSaveKeepsTheFileItWouldReplace)
{
    SetUpProgram();
    printout::PrintoutSheet sheet;
    sheet.ResetSheet();
    for (int i = 0; i < 200; ++i)
        sheet.AppendLine("Line " + std::to_string(i) + "  DV-06543-23  12:34:56  1234.567");

    TempDir dir("quillprint-open");
    const fs::path target = dir.path / "race.pdf";
    std::ofstream(target) << "the earlier save";
    printout::SaveSheetAsPdf(sheet, target.string()); // replaced when complete
    EXPECT_EQ(Slurp(target).substr(0, 5), "%PDF-");

    if (::mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    std::ofstream(target) << "the earlier save";
    {
        std::ofstream filler(dir.path / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    try {
        printout::SaveSheetAsPdf(sheet, target.string());
        ADD_FAILURE() << "saved on a full disk";
    } catch (const printer::EOSError& e) {
        EXPECT_EQ(e.Code(), ENOSPC);
        EXPECT_EQ(std::string(e.what()), "System Error.  Code: 28.\nNo space left on device");
    }
    EXPECT_EQ(Slurp(target), "the earlier save");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"filler", "race.pdf"}));
}
