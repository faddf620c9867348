#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>
#include <mutex>
#include <set>

#include "app/qt_translator.h"
#include "printer/errors.h"
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
    std::optional<ScopedLocale> lang_;
};

const char* const kShippedLanguages[] = {"de", "nl", "fr", "pl"};

// Whether the shipped catalogue of lang has an entry for text (translated
// or not: "OK" reads the same in every one of them).
bool ShippedCatalogueHas(const char* lang, const std::string& text)
{
    ScopedLocale locale("C");
    i18n::TGnuGettextInstance t(QP_SHIPPED_LOCALE_DIR);
    t.ChooseLanguage(lang);
    return t.LookUpInDomain("default", "", text).has_value();
}

} // namespace

// Must run before anything makes the application object.
TEST_F(QtCatalogues, ApplicationObjectInstallsTheTranslatorWhenItIsMade)
{
    if (QCoreApplication::instance() != nullptr)
        GTEST_SKIP() << "the application object already exists (shuffled run)";
    lang_.emplace("de_DE.UTF-8");
    EXPECT_TRUE(app::InitMessageCatalogues(QP_SHIPPED_LOCALE_DIR).Empty());
    EXPECT_EQ(app::InstalledResourceStringTranslator(), nullptr);
    testing_support::TestApp();
    ASSERT_NE(app::InstalledResourceStringTranslator(), nullptr);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Abbrechen");
}

TEST_F(QtCatalogues, LogsWhatQtAsksForInTheProgramsDialogs)
{
    testing_support::TestApp();
    lang_.emplace("de_DE.UTF-8");
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
    // Every text Qt asked for in these dialogs is in every shipped catalogue,
    // so in the template too (i18n/library-texts.pot lists them).
    for (const auto& [context, source] : asked)
        for (const char* lang : kShippedLanguages)
            EXPECT_TRUE(ShippedCatalogueHas(lang, source)) << lang << ": " << context << " | " << source;
}

// The serial and printer message tables are no tr() calls: the template's
// list of them must hold every text they ask the catalogues for.
TEST_F(QtCatalogues, EveryLibraryMessageIsInEveryShippedCatalogue)
{
    std::vector<std::string> asked;
    serial::InitComPortMessages([&asked](const std::string& text) {
        asked.push_back(text);
        return text;
    });
    serial::InitComPortMessages(nullptr);
    printer::SetMessageTranslator([&asked](std::string_view text) {
        asked.emplace_back(text);
        return std::string(text);
    });
    for (std::string_view m : {printer::kPrintingInProgress, printer::kNotPrinting,
                               printer::kPrinterNotValid, printer::kIndexOutOfRange,
                               printer::kNoDefaultPrinter})
        (void)printer::EPrinter(m);
    (void)printer::EOSError(0, "");
    (void)printer::EOSError(5, "Input/output error");
    printer::SetMessageTranslator(nullptr);
    ASSERT_EQ(asked.size(), 24u + 7u);
    for (const std::string& text : asked)
        for (const char* lang : kShippedLanguages)
            EXPECT_TRUE(ShippedCatalogueHas(lang, text)) << lang << ": " << text;
}

// Qt asks with its context, a disambiguation and a count; the catalogue's
// msgctxt entries come first, then the bare text, and the count picks the
// plural form by the catalogue's own rule.
TEST_F(QtCatalogues, QtContextsDisambiguationsAndCounts)
{
    testing_support::TestApp();
    lang_.emplace("fr_FR.UTF-8");
    TempDir root;
    CompilePoWithMsgfmt(R"po(msgid ""
msgstr ""
"Content-Type: text/plain; charset=UTF-8\n"
"Plural-Forms: nplurals=2; plural=(n > 1);\n"

msgid "Open"
msgstr "Ouvrir"

msgctxt "QPlatformTheme"
msgid "Open"
msgstr "Ouvrir (bouton)"

msgctxt "lamp state"
msgid "Open"
msgstr "Ouvert"

msgctxt "Quillprint"
msgid "%n pigeon(s) clocked"
msgid_plural "%n pigeon(s) clocked"
msgstr[0] "%n pigeon constaté"
msgstr[1] "%n pigeons constatés"
)po",
                        CataloguePath(root.Path(), "fr", "default"));
    CompilePoWithMsgfmt(R"po(msgid ""
msgstr ""
"Content-Type: text/plain; charset=UTF-8\n"

msgctxt "QLineEdit"
msgid "Select All"
msgstr "Tout sélectionner"
)po",
                        CataloguePath(root.Path(), "fr", "cport"));
    ASSERT_TRUE(app::InitMessageCatalogues(root.Str()).Empty());

    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Open"), "Ouvrir (bouton)");
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Open"), "Ouvrir");
    EXPECT_EQ(QCoreApplication::translate("app::TForm1", "Open", "lamp state"), "Ouvert");
    EXPECT_EQ(QCoreApplication::translate("QLineEdit", "Select All"),
              QString::fromUtf8("Tout s\xC3\xA9lectionner")) << "contexts in cport too";
    EXPECT_EQ(QCoreApplication::translate("QMenu", "Select All"), "Select All");
    // French counts 0 and 1 alike; Qt fills in %n.
    EXPECT_EQ(QCoreApplication::translate("Quillprint", "%n pigeon(s) clocked", nullptr, 0),
              QString::fromUtf8("0 pigeon constat\xC3\xA9"));
    EXPECT_EQ(QCoreApplication::translate("Quillprint", "%n pigeon(s) clocked", nullptr, 12),
              QString::fromUtf8("12 pigeons constat\xC3\xA9s"));
    EXPECT_EQ(QCoreApplication::translate("Other", "%n pigeon(s) clocked", nullptr, 2),
              "2 pigeon(s) clocked");
}

// The start-up report's own line, in each shipped language with its plural
// forms; a system error from the printer keeps its bare line feed.
TEST_F(QtCatalogues, StartupReportAndSystemErrorsInTheShippedLanguages)
{
    testing_support::TestApp();
    const app::CatalogueReport report{{}, {{"/x/pl.mo", 1}, {"/x/de.mo", 3}, {"/x/fr.mo", 22}}};
    const struct {
        const char* lang;
        std::vector<const char*> words; // one per report line
    } cases[] = {
        {"de_AT.UTF-8", {" 1 Text,", " 3 Texte,", " 22 Texte,"}},
        {"nl_NL.UTF-8", {" 1 tekst ", " 3 teksten ", " 22 teksten "}},
        {"fr_BE.UTF-8", {" 1 texte ", " 3 textes ", " 22 textes "}},
        {"pl_PL.UTF-8", {" 1 tekst,", " 3 teksty,", " 22 teksty,"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lang);
        lang_.emplace(c.lang);
        ASSERT_TRUE(app::InitMessageCatalogues(QP_SHIPPED_LOCALE_DIR).Empty());
        const QStringList lines = app::CatalogueReportText(report).split('\n');
        ASSERT_EQ(lines.size(), 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(lines[i].contains(QString::fromUtf8(c.words[static_cast<std::size_t>(i)])))
                << lines[i].toStdString();
            EXPECT_TRUE(lines[i].contains(QString::fromUtf8(report.undecodable[static_cast<std::size_t>(i)].first.c_str())));
            EXPECT_FALSE(lines[i].contains("UTF-8; they")) << "not English";
        }
        printer::SetMessageTranslator([](std::string_view t) { return i18n::TranslateResourceString(t); });
        const std::string system = printer::EOSError(13, "Permission denied").what();
        printer::SetMessageTranslator(nullptr);
        EXPECT_NE(system.find("13.\nPermission denied"), std::string::npos) << system;
        EXPECT_EQ(system.find("System Error"), std::string::npos) << system;
        app::StopMessageCatalogues();
    }
    EXPECT_EQ(app::CatalogueReportText(app::CatalogueReport{}), QString());
}

TEST_F(QtCatalogues, GermanUserOpeningAMissingPortGetsAGermanErrorBox)
{
    testing_support::TestApp();
    lang_.emplace("de_DE.UTF-8");
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
    // Nothing the catalogues lack changes, and the header is never shown.
    EXPECT_EQ(QCoreApplication::translate("Quillprint", "Not a text of ours"), "Not a text of ours");
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", ""), "");
}

// Qt's own dialogs speak the language our catalogues chose, from Qt's
// translations; a language we have no catalogue for stays English there too.
TEST_F(QtCatalogues, QtsDialogsFollowTheCataloguesLanguage)
{
    testing_support::TestApp();
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFile::exists(folder + "/qtbase_de.qm") || !QFile::exists(folder + "/qtbase_pl.qm"))
        GTEST_SKIP() << "Qt's translations are not installed in " << folder.toStdString();
    const struct {
        const char* lang;
        const char *lookIn, *cancel;
    } cases[] = {
        {"de_DE.UTF-8", "Suchen in:", "Abbrechen"},
        {"pl_PL.UTF-8", "Szukaj w:", "Anuluj"},
        {"es_ES.UTF-8", "Look in:", "Cancel"},
        {"C", "Look in:", "Cancel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lang);
        lang_.emplace(c.lang);
        ASSERT_TRUE(app::InitMessageCatalogues(QP_SHIPPED_LOCALE_DIR).Empty());
        {
            QFileDialog dialog(nullptr, "Save as PDF");
            dialog.setOption(QFileDialog::DontUseNativeDialog);
            auto* lookIn = dialog.findChild<QLabel*>("lookInLabel");
            ASSERT_NE(lookIn, nullptr);
            EXPECT_EQ(lookIn->text().toStdString(), c.lookIn);
            auto* buttons = dialog.findChild<QDialogButtonBox*>("buttonBox");
            ASSERT_NE(buttons, nullptr);
            EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text().toStdString(), c.cancel);
        }
        app::StopMessageCatalogues();
    }
}

TEST_F(QtCatalogues, QtTextsAndSerialMessagesGoThroughTheCatalogue)
{
    testing_support::TestApp();
    lang_.emplace("xx_YY.UTF-8");
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
    lang_.emplace("de_DE.UTF-8");
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
    lang_.emplace("de_DE.UTF-8");
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
    lang_.emplace("de_DE.UTF-8");
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
