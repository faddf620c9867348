#include <gtest/gtest.h>

#include <QStringList>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/qt_translator.h"
#include "tests/qt_test_app.h"

namespace {

using app::TCommandLineRequest;

TCommandLineRequest Parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "quillprint");
    args.push_back(nullptr);
    return app::ParseCommandLine(static_cast<int>(args.size() - 1), args.data());
}

// Sets the locale variables for one test and puts the old values back.
class Locale {
public:
    explicit Locale(const char* lang)
    {
        for (const char* name : {"LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES"}) {
            const char* old = std::getenv(name);
            saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
            ::unsetenv(name);
        }
        ::setenv("LANG", lang, 1);
    }
    ~Locale()
    {
        for (const auto& [name, value] : saved_)
            value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

void ExpectTerminalWidth(const QString& text)
{
    for (const QString& line : text.split(u'\n'))
        EXPECT_LE(line.size(), 80) << line.toStdString();
}

} // namespace

TEST(CommandLine, HelpAndVersionAnywhereBeforeDoubleDashFirstOneWins)
{
    EXPECT_EQ(Parse({}), TCommandLineRequest::Run);
    EXPECT_EQ(Parse({"--help"}), TCommandLineRequest::Help);
    EXPECT_EQ(Parse({"-h"}), TCommandLineRequest::Help);
    EXPECT_EQ(Parse({"--version"}), TCommandLineRequest::Version);
    EXPECT_EQ(Parse({"-V"}), TCommandLineRequest::Version);
    EXPECT_EQ(Parse({"/dev/ttyUSB0", "--vers"}), TCommandLineRequest::Version);
    EXPECT_EQ(Parse({"--he", "--version"}), TCommandLineRequest::Help);
    EXPECT_EQ(Parse({"-V", "--help"}), TCommandLineRequest::Version);
    EXPECT_EQ(Parse({"--", "--help"}), TCommandLineRequest::Run);
}

TEST(CommandLine, OtherArgumentsAndQtOptionsAreLeftAlone)
{
    // Qt's own options hold an "h" or a "V" but are not bundles of short options.
    EXPECT_EQ(Parse({"-platform", "offscreen", "-stylesheet", "x.qss"}), TCommandLineRequest::Run);
    EXPECT_EQ(Parse({"--helpme", "---help", "-help", "--", "-v"}), TCommandLineRequest::Run);
    EXPECT_EQ(Parse({"--versions", "--", "--version"}), TCommandLineRequest::Run);
}

TEST(CommandLine, AnswersFitTheTerminalAndHelpComesThroughTheCatalogues)
{
    EXPECT_EQ(app::VersionText(), "quillprint 2.0\n");
    testing_support::TestApp();
    const QString english = app::HelpText();
    EXPECT_TRUE(english.startsWith("Usage: quillprint [OPTION]\n"));
    EXPECT_TRUE(english.contains("-V, --version") && english.contains("dialout"));
    ExpectTerminalWidth(english);

    Locale german("de_DE.UTF-8");
    ASSERT_TRUE(app::InitMessageCatalogues(QP_SHIPPED_LOCALE_DIR).Empty());
    const QString help = app::HelpText();
    app::StopMessageCatalogues();
    EXPECT_TRUE(help.startsWith(QString::fromUtf8("Aufruf: quillprint [OPTION]\n"))) << help.toStdString();
    EXPECT_TRUE(help.contains(QString::fromUtf8("Gruppe „dialout“"))) << help.toStdString();
    EXPECT_TRUE(help.endsWith(QString::fromUtf8("anmelden.\n")));
    ExpectTerminalWidth(help);
}
