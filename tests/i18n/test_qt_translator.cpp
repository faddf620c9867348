#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>

#include <cstdio>
#include <mutex>
#include <set>

#include "app/qt_translator.h"
#include "i18n/gettext.h"
#include "mo_helpers.h"
#include "serial/comport.h"
#include "serial/errors.h"
#include "tests/qt_test_app.h"

using namespace i18n_test;

namespace {

using Request = std::pair<std::string, std::string>; // context, source text

// Shows the dialogs and menus the program uses, the way it uses them, and
// returns the texts they show.
struct Shown {
    QString errorBoxButton;
    QString messageDialogButton;
    QStringList contextMenu;
};

Shown ShowProgramDialogs(const QString& message)
{
    Shown shown;
    {
        QMessageBox box(QMessageBox::Critical, "Quillprint", message, QMessageBox::Ok);
        box.show();
        QCoreApplication::processEvents();
        shown.errorBoxButton = box.button(QMessageBox::Ok)->text();
        box.close();
    }
    {
        QMessageBox box(QMessageBox::NoIcon, "Quillprint", "No TAVELIN Corvan K7 found!",
                        QMessageBox::Ok);
        box.show();
        QCoreApplication::processEvents();
        shown.messageDialogButton = box.button(QMessageBox::Ok)->text();
        box.close();
    }
    {
        QComboBox combo;
        combo.setEditable(true);
        combo.addItem("/dev/ttyUSB0");
        std::unique_ptr<QMenu> menu(combo.lineEdit()->createStandardContextMenu());
        for (QAction* a : menu->actions())
            if (!a->isSeparator())
                shown.contextMenu << a->text().section(QLatin1Char('\t'), 0, 0); // no shortcut
    }
    return shown;
}

class QtCatalogues : public ::testing::Test {
protected:
    void TearDown() override { app::StopMessageCatalogues(); }
    std::optional<ScopedEnv> lang_;
};

} // namespace

// Must run before anything makes the application object.
TEST_F(QtCatalogues, ApplicationObjectInstallsTheTranslatorWhenItIsMade)
{
    if (QCoreApplication::instance() != nullptr)
        GTEST_SKIP() << "the application object already exists (shuffled run)";
    lang_.emplace("LANG", "de_DE.UTF-8");
    EXPECT_TRUE(app::InitMessageCatalogues(QP_SHIPPED_LOCALE_DIR).Empty());
    EXPECT_EQ(app::InstalledResourceStringTranslator(), nullptr);
    testing_support::TestApp();
    ASSERT_NE(app::InstalledResourceStringTranslator(), nullptr);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Abbrechen");
}

TEST_F(QtCatalogues, LogsWhatQtAsksForInTheProgramsDialogs)
{
    testing_support::TestApp();
    lang_.emplace("LANG", "de_DE.UTF-8");
    ASSERT_TRUE(app::InitMessageCatalogues(QP_SHIPPED_LOCALE_DIR).Empty());
    auto* translator = app::InstalledResourceStringTranslator();
    ASSERT_NE(translator, nullptr);
    std::mutex m;
    std::set<Request> asked;
    translator->SetObserver([&](const char* context, const char* source, const char*) {
        std::lock_guard lock(m);
        asked.emplace(context ? context : "", source ? source : "");
    });
    ShowProgramDialogs("Registry error");
    translator->SetObserver(nullptr);

    if (std::getenv("QP_LOG_QT_TEXTS"))
        for (const auto& [context, source] : asked)
            std::printf("asked: %s | %s -> %s\n", context.c_str(), source.c_str(),
                        i18n::TranslateResourceString(source).c_str());
    EXPECT_TRUE(asked.count({"QPlatformTheme", "OK"})) << "the error box's button text";
    // Every text Qt asked for in these dialogs is in the German catalogue.
    for (const auto& [context, source] : asked) {
        if (source == "OK" || source == "+")
            continue; // the same in German
        EXPECT_NE(i18n::TranslateResourceString(source), source) << context << " | " << source;
    }
}

TEST_F(QtCatalogues, GermanUserOpeningAMissingPortGetsAGermanErrorBox)
{
    testing_support::TestApp();
    lang_.emplace("LANG", "de_DE.UTF-8");
    ASSERT_TRUE(app::InitMessageCatalogues(QP_SHIPPED_LOCALE_DIR).Empty());
    TempDir dir;
    serial::TComPort port;
    port.SetPort((dir.Path() / "ttyGone0").string());
    std::string message;
    try {
        port.SetConnected(true);
    } catch (const serial::EComPort& e) {
        message = e.what();
        EXPECT_EQ(e.PortErrorCode(), serial::CError_OpenFailed);
        EXPECT_EQ(e.SystemErrorCode(), ENOENT);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(message, "Die serielle Schnittstelle kann nicht ge\xC3\xB6" "ffnet werden "
                       "(Systemfehlercode: 2)");

    const Shown shown = ShowProgramDialogs(QString::fromUtf8(message.c_str()) + ".");
    EXPECT_EQ(shown.errorBoxButton, "OK");
    EXPECT_TRUE(shown.contextMenu.contains(QString::fromUtf8("&Kopieren")))
        << shown.contextMenu.join(",").toStdString();
    EXPECT_TRUE(shown.contextMenu.contains(QString::fromUtf8("Alles ausw\xC3\xA4hlen")));
    EXPECT_EQ(QKeySequence(Qt::CTRL | Qt::Key_C).toString(QKeySequence::NativeText), "Strg+C");
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), "&Ja");
    // Nothing the catalogue lacks changes, and the header is never shown.
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:");
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", ""), "");
}

TEST_F(QtCatalogues, QtTextsAndSerialMessagesGoThroughTheCatalogue)
{
    testing_support::TestApp();
    lang_.emplace("LANG", "xx_YY.UTF-8");
    TempDir root;
    CompileWithMsgfmt({{"OK", "Jawohl"},
                       {"Registry error", "Schnittstellenliste fehlt"},
                       {kSuffix, " [Code %d, 100%]"},
                       {"Line\nbreak", "Zeilen\numbruch"}},
                      CataloguePath(root.Path(), "xx", "default"));
    CompileWithMsgfmt({{"Select All", "Alles (cport)"}}, CataloguePath(root.Path(), "xx", "cport"));
    ASSERT_TRUE(app::InitMessageCatalogues(root.Str()).Empty());

    const Shown shown = ShowProgramDialogs("x");
    EXPECT_EQ(shown.errorBoxButton, "Jawohl");
    EXPECT_EQ(shown.messageDialogButton, "Jawohl");
    EXPECT_TRUE(shown.contextMenu.contains("Alles (cport)")) << "cport is a resource-string domain";
    EXPECT_EQ(QCoreApplication::translate("Any", "Line\nbreak"), "Zeilen\numbruch")
        << "Qt keeps bare line feeds";

    // Only the one %d is filled; the translator's other % stays as it is.
    EXPECT_STREQ(serial::EComPort(serial::CError_RegError, 2).what(),
                 "Schnittstellenliste fehlt [Code 2, 100%]");
    EXPECT_STREQ(serial::EComPort(serial::CError_OpenFailed, 13).what(),
                 "Unable to open com port [Code 13, 100%]");
    EXPECT_STREQ(serial::EComPort(serial::CError_InvalidAsync).what(), "Invalid Async parameter");

    app::StopMessageCatalogues();
    EXPECT_EQ(app::InstalledResourceStringTranslator(), nullptr);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "OK"), "OK");
    EXPECT_STREQ(serial::EComPort(serial::CError_RegError, 2).what(),
                 "Registry error (win error code: 2)");
}

TEST_F(QtCatalogues, WithoutACatalogueEverythingIsExactEnglish)
{
    testing_support::TestApp();
    lang_.emplace("LANG", "de_DE.UTF-8");
    TempDir empty;
    ASSERT_TRUE(app::InitMessageCatalogues(empty.Str()).Empty());
    ASSERT_NE(app::InstalledResourceStringTranslator(), nullptr);
    const Shown shown = ShowProgramDialogs("x");
    EXPECT_EQ(shown.errorBoxButton, "OK");
    EXPECT_TRUE(shown.contextMenu.contains("&Copy"));
    for (int code = 1; code <= serial::kComPortErrorCount; ++code)
        EXPECT_EQ(serial::EComPort(code, 2).what(),
                  SerialTexts()[static_cast<std::size_t>(code - 1)] + " (win error code: 2)");
}

TEST_F(QtCatalogues, BrokenCatalogueIsReportedOnceAndNeverReachesQt)
{
    testing_support::TestApp();
    lang_.emplace("LANG", "de_DE.UTF-8");
    TempDir root;
    const auto path = CataloguePath(root.Path(), "de", "default");
    TempDir src;
    CompileWithMsgfmt({{"OK", "Jawohl"}, {"Registry error", "Registrierungsfehler"}},
                      src.Path() / "good.mo");
    const std::string good = ReadFile(src.Path() / "good.mo");
    WriteFile(path, good.substr(0, good.size() - 3));

    const app::CatalogueReport report = app::InitMessageCatalogues(root.Str());
    const std::string error = "This file is not a valid GNU gettext mo file: " + path.string();
    EXPECT_EQ(report.errors, std::vector<std::string>{error});
    EXPECT_TRUE(report.undecodable.empty());
    EXPECT_EQ(app::CatalogueReportText(report).toStdString(), error);
    EXPECT_STREQ(serial::EComPort(serial::CError_RegError).what(), "Registry error");
    EXPECT_EQ(ShowProgramDialogs("x").errorBoxButton, "OK");
}

// A catalogue saved in Latin-1: every undecodable serial text stays English,
// and start-up has one line to say so, naming the file and the count.
TEST_F(QtCatalogues, UndecodableCatalogueGivesOneReportLineWithItsCount)
{
    testing_support::TestApp();
    lang_.emplace("LANG", "de_DE.UTF-8");
    TempDir root;
    const auto path = CataloguePath(root.Path(), "de", "default");
    WriteFile(path, BuildMo({{"Registry error", "Registrierungsfehler (\xFC)"},
                             {"Invalid Async parameter", "Ung\xFCltiger Async-Parameter"},
                             {"Failed to load settings", "Laden fehlgeschlagen (\xDF)"},
                             {"Unable to open com port", "Kann nicht \xC3\xB6" "ffnen"},
                             {"OK", "\xFC"}},
                            false));
    const app::CatalogueReport report = app::InitMessageCatalogues(root.Str());
    EXPECT_TRUE(report.errors.empty());
    ASSERT_EQ(report.undecodable.size(), 1u);
    EXPECT_EQ(report.undecodable[0].first, path.string());
    EXPECT_EQ(report.undecodable[0].second, 3);
    EXPECT_EQ(app::CatalogueReportText(report).toStdString(),
              "The message catalogue " + path.string() +
                  " has 3 text(s) that are not UTF-8; they are shown in English.");
    EXPECT_STREQ(serial::EComPort(serial::CError_RegError).what(), "Registry error");
    EXPECT_STREQ(serial::EComPort(serial::CError_OpenFailed).what(),
                 "Kann nicht \xC3\xB6" "ffnen");
    EXPECT_EQ(ShowProgramDialogs("x").errorBoxButton, "OK") << "a failed lookup keeps Qt's text";
}
