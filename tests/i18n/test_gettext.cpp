#include <gtest/gtest.h>

#include "i18n/gettext.h"
#include "i18n/language.h"
#include "mo_helpers.h"

using namespace i18n_test;
using i18n::ECatalogue;
using i18n::EUntranslatableText;
using i18n::TGnuGettextInstance;

namespace {

// A catalogue tree of its own and LANG set for each test.
class Catalogues : public ::testing::Test {
protected:
    void SetLang(const char* lang) { lang_.emplace("LANG", lang); }
    void Compile(const std::string& lang, const std::string& domain, const Entries& e)
    {
        CompileWithMsgfmt(e, CataloguePath(root_.Path(), lang, domain));
    }
    void TearDown() override { i18n::StopMessageCatalogues(); }

    TempDir root_;
    std::optional<ScopedEnv> lang_;
};

std::string NotValidMessage(const fs::path& p)
{
    return "This file is not a valid GNU gettext mo file: " + p.string();
}

} // namespace

TEST_F(Catalogues, RegionalLanguageFallsBackToItsTwoLetterCatalogue)
{
    SetLang("de_CH.UTF-8");
    Compile("de", "default", {{"Registry error", "Registrierungsfehler"}});
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.CurrentLanguage(), "de_CH");
    EXPECT_EQ(t.Translate("Registry error"), "Registrierungsfehler");
    EXPECT_EQ(t.Domain("default").CataloguePath(),
              CataloguePath(root_.Path(), "de", "default").string());
}

TEST_F(Catalogues, RegionalCatalogueWinsOverTheTwoLetterOne)
{
    SetLang("de_CH.UTF-8");
    Compile("de", "default", {{"Registry error", "Registrierungsfehler"}});
    Compile("de_CH", "default", {{"Registry error", "Registrierfehler (CH)"}});
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.Translate("Registry error"), "Registrierfehler (CH)");
}

TEST_F(Catalogues, OppositeByteOrderCatalogueTranslates)
{
    SetLang("de");
    WriteFile(CataloguePath(root_.Path(), "de", "default"),
              BuildMo({{"", "Language: de\n"}, {"Yes", "Ja"}, {"No", "Nein"}}, true));
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.Translate("Yes"), "Ja");
    EXPECT_EQ(t.Translate("No"), "Nein");
    EXPECT_EQ(t.Translate("Maybe"), "Maybe");
}

TEST_F(Catalogues, LineEndsAreLookedUpBareAndReturnedWithCarriageReturns)
{
    SetLang("de");
    Compile("de", "default", {{"First line\nSecond line", "Erste Zeile\nZweite Zeile"}});
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.Translate("First line\r\nSecond line"), "Erste Zeile\r\nZweite Zeile");
    EXPECT_EQ(t.Translate("First line\nSecond line"), "Erste Zeile\r\nZweite Zeile");
    // Untranslated text gets the same line ends, and no doubled CR.
    EXPECT_EQ(t.Translate("a\nb\r\nc"), "a\r\nb\r\nc");
}

TEST_F(Catalogues, EmptyKeyYieldsTheCatalogueHeader)
{
    SetLang("de");
    Compile("de", "default", {{"x", "y"}});
    TGnuGettextInstance t(root_.Str());
    const std::string header = t.Translate("");
    EXPECT_NE(header.find("Content-Type: text/plain; charset=UTF-8\r\n"), std::string::npos)
        << header;
}

TEST_F(Catalogues, FileWithOtherContentIsReportedOnceThenKeysAnswer)
{
    SetLang("de_DE");
    const auto path = CataloguePath(root_.Path(), "de", "default");
    WriteFile(path, "<html>not a catalogue, but long enough for a header</html>\n");
    TGnuGettextInstance t(root_.Str());
    try {
        t.Translate("Registry error");
        FAIL() << "no error for an invalid catalogue";
    } catch (const ECatalogue& e) {
        EXPECT_EQ(std::string(e.what()), NotValidMessage(path));
    }
    EXPECT_EQ(t.Translate("Registry error"), "Registry error");
    EXPECT_EQ(t.Translate(""), "");
    EXPECT_TRUE(t.Domain("default").IsOpen());
}

TEST_F(Catalogues, TruncatedAndCorruptCataloguesAreReportedLikeAWrongMagic)
{
    SetLang("de");
    TempDir src;
    CompileWithMsgfmt({{"Registry error", "Registrierungsfehler"}, {"OK", "OK"}},
                      src.Path() / "good.mo");
    const std::string good = ReadFile(src.Path() / "good.mo");
    std::string noZero = BuildMo({{"a", "b"}}, false);
    noZero.back() = 'x';
    const std::string variants[] = {
        good.substr(0, good.size() / 2), // strings cut off
        good.substr(0, 20),               // header cut off
        std::string(),                    // empty file
        noZero,
    };
    for (const std::string& bytes : variants) {
        const auto path = CataloguePath(root_.Path(), "de", "default");
        WriteFile(path, bytes);
        TGnuGettextInstance t(root_.Str());
        EXPECT_THROW(
            {
                try {
                    t.Translate("Registry error");
                } catch (const ECatalogue& e) {
                    EXPECT_EQ(std::string(e.what()), NotValidMessage(path));
                    throw;
                }
            },
            ECatalogue)
            << bytes.size() << " bytes";
        EXPECT_EQ(t.Translate("Registry error"), "Registry error");
    }
}

TEST_F(Catalogues, MissingCatalogueIsSearchedForOnlyOnce)
{
    SetLang("de");
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.Translate("Yes"), "Yes");
    // Appearing later does not count until the language is chosen again.
    Compile("de", "default", {{"Yes", "Ja"}});
    EXPECT_EQ(t.Translate("Yes"), "Yes");
    EXPECT_FALSE(t.Domain("default").IsOpen());
    t.ChooseLanguage("de_AT");
    EXPECT_EQ(t.CurrentLanguage(), "de_AT");
    EXPECT_EQ(t.Translate("Yes"), "Ja");
}

TEST_F(Catalogues, TranslationThatIsNotUtf8CannotBeTranslated)
{
    SetLang("de");
    WriteFile(CataloguePath(root_.Path(), "de", "default"),
              BuildMo({{"Open", "\xD6""ffnen"}, {"Close", "Schlie\xC3\x9F""en"}, {"Gap", ""}}, false));
    TGnuGettextInstance t(root_.Str());
    try {
        t.Translate("Open");
        FAIL() << "no error for a Latin-1 translation";
    } catch (const EUntranslatableText& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Error: Could not translate Open. Probably because the mo file doesn't "
                  "contain utf-8 encoded translations.");
    }
    EXPECT_EQ(t.Translate("Close"), "Schlie\xC3\x9F""en");
    EXPECT_THROW(t.Translate("Gap"), EUntranslatableText);
    // Text that is not translated is never judged, whatever its bytes.
    EXPECT_EQ(t.Translate("Caf\xE9"), "Caf\xE9");
}

TEST_F(Catalogues, DomainsHaveTheirOwnCatalogues)
{
    SetLang("de");
    Compile("de", "default", {{"Yes", "Ja"}});
    Compile("de", "cport", {{"Yes", "Jawohl"}});
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.TranslateInDomain("cport", "Yes"), "Jawohl");
    EXPECT_EQ(t.TranslateInDomain("default", "Yes"), "Ja");
    EXPECT_EQ(t.TranslateInDomain("nothing", "Yes"), "Yes");
    t.SetCurrentDomain("cport");
    EXPECT_EQ(t.Translate("Yes"), "Jawohl");
    TempDir other;
    CompileWithMsgfmt({{"Yes", "Gewiss"}}, CataloguePath(other.Path(), "de", "cport"));
    t.SetDomainDirectory("cport", other.Str());
    EXPECT_EQ(t.Translate("Yes"), "Gewiss");
}

TEST_F(Catalogues, ResourceStringsSearchDefaultThenCport)
{
    SetLang("de_DE.UTF-8");
    Compile("de", "default", {{"Both", "Beide (default)"}, {"Default only", "Nur default"}});
    Compile("de", "cport", {{"Both", "Beide (cport)"}, {"Cport only", "Nur cport"}});

    // Nothing happens before the catalogues start.
    EXPECT_EQ(i18n::TranslateResourceString("Both"), "Both");
    i18n::AddResourceStringDomain("cport");
    EXPECT_TRUE(i18n::ResourceStringDomains().empty());

    i18n::StartMessageCatalogues(root_.Str());
    EXPECT_EQ(i18n::ResourceStringDomains(), std::vector<std::string>{"default"});
    EXPECT_EQ(i18n::TranslateResourceString("Cport only"), "Cport only");
    i18n::AddResourceStringDomain("cport");
    EXPECT_EQ(i18n::ResourceStringDomains(), (std::vector<std::string>{"default", "cport"}));

    EXPECT_EQ(i18n::TranslateResourceString("Both"), "Beide (default)");
    EXPECT_EQ(i18n::TranslateResourceString("Default only"), "Nur default");
    EXPECT_EQ(i18n::TranslateResourceString("Cport only"), "Nur cport");
    EXPECT_EQ(i18n::TranslateResourceString("Neither"), "Neither");
    EXPECT_EQ(i18n::Translate("Cport only"), "Cport only") << "Translate looks in default only";
    EXPECT_EQ(i18n::TranslateInDomain("cport", "Both"), "Beide (cport)");

    i18n::StopMessageCatalogues();
    EXPECT_EQ(i18n::TranslateResourceString("Both"), "Both");
    EXPECT_EQ(i18n::Translate("Both"), "Both");
}

TEST_F(Catalogues, WithoutAnyCatalogueSerialTextsStayExactlyEnglish)
{
    SetLang("de_DE.UTF-8");
    i18n::StartMessageCatalogues(root_.Str());
    for (const std::string& text : SerialTexts())
        EXPECT_EQ(i18n::Translate(text), text);
    EXPECT_EQ(i18n::Translate(kSuffix), kSuffix);
}

TEST_F(Catalogues, SuffixCanBeTranslatedAlone)
{
    SetLang("de_DE.UTF-8");
    Compile("de", "default", {{kSuffix, " (Fehlercode: %d)"}});
    i18n::StartMessageCatalogues(root_.Str());
    for (const std::string& text : SerialTexts())
        EXPECT_EQ(i18n::Translate(text), text);
    EXPECT_EQ(i18n::Translate(kSuffix), " (Fehlercode: %d)");
}

TEST_F(Catalogues, ShippedGermanCatalogueCoversEverySerialText)
{
    SetLang("de_DE.UTF-8");
    i18n::StartMessageCatalogues(QP_SHIPPED_LOCALE_DIR);
    for (const std::string& text : SerialTexts()) {
        const std::string de = i18n::Translate(text);
        EXPECT_NE(de, text);
        EXPECT_EQ(de.find('%'), std::string::npos) << de;
    }
    const std::string suffix = i18n::Translate(kSuffix);
    EXPECT_NE(suffix, kSuffix);
    EXPECT_EQ(suffix.front(), ' ');
    const auto d = suffix.find("%d");
    ASSERT_NE(d, std::string::npos);
    EXPECT_EQ(suffix.find('%', d + 1), std::string::npos);
    EXPECT_EQ(i18n::TranslateResourceString("OK"), "OK");
    EXPECT_EQ(i18n::TranslateResourceString("Cancel"), "Abbrechen");
}

TEST(Language, ChosenFromLangThenLcAllThenLcMessages)
{
    ScopedEnv lcAll("LC_ALL", nullptr), lcMessages("LC_MESSAGES", nullptr);
    {
        ScopedEnv lang("LANG", "de_CH.UTF-8");
        EXPECT_EQ(i18n::ResolveLanguage(""), "de_CH");
    }
    {
        ScopedEnv lang("LANG", "de_DE@euro");
        EXPECT_EQ(i18n::ResolveLanguage(""), "de_DE@euro") << "LANG is cut at '.' only";
    }
    ScopedEnv lang("LANG", "");
    EXPECT_EQ(i18n::ResolveLanguage(""), "C");
    {
        ScopedEnv m("LC_MESSAGES", "fr_BE.ISO-8859-1@euro");
        EXPECT_EQ(i18n::ResolveLanguage(""), "fr_BE");
        ScopedEnv a("LC_ALL", "de_AT@euro");
        EXPECT_EQ(i18n::ResolveLanguage(""), "de_AT");
        EXPECT_EQ(i18n::DetectSystemLanguage(), "de_AT");
    }
    EXPECT_EQ(i18n::ResolveLanguage("nl_BE.UTF-8"), "nl_BE");
    EXPECT_EQ(i18n::ResolveLanguage(".UTF-8"), "C");
}

TEST(Language, WindowsLocaleIdentifiers)
{
    const std::pair<std::uint32_t, const char*> table[] = {
        {1030, "da_DK"}, {1031, "de_DE"}, {1032, "gr_GR"}, {1033, "en_US"}, {1034, "es_ES"},
        {3082, "es_ES"}, {1035, "fi_FI"}, {1036, "fr_FR"}, {1039, "is_IS"}, {1040, "it_IT"},
        {1042, "ko_KO"}, {1043, "nl_NL"}, {1044, "no_NO"}, {1045, "pl_PL"}, {1046, "pt_BR"},
        {1049, "ru_RU"}, {1053, "sv_SE"}, {2057, "en_UK"}, {2060, "fr_BE"}, {2067, "nl_BE"},
        {2068, "nn_NO"}, {2070, "pt_PT"}, {2077, "fi_SE"}, {3084, "fr_CA"}, {4103, "de_LU"},
    };
    for (auto [id, code] : table)
        EXPECT_EQ(i18n::LanguageCodeFromLocaleId(id), code) << id;
    for (std::uint32_t id : {0u, 1024u, 1037u, 1041u, 3079u, 5127u, 0xFFFFFFFFu})
        EXPECT_EQ(i18n::LanguageCodeFromLocaleId(id), "C") << id;
}

TEST(Utf8, AcceptsTextAndRejectsMalformedSequences)
{
    EXPECT_TRUE(i18n::IsValidUtf8(""));
    EXPECT_TRUE(i18n::IsValidUtf8("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x90\xA6"));
    EXPECT_FALSE(i18n::IsValidUtf8("\xFC"));             // Latin-1
    EXPECT_FALSE(i18n::IsValidUtf8("\xC3"));             // cut short
    EXPECT_FALSE(i18n::IsValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(i18n::IsValidUtf8("\xE0\x80\xAF"));     // overlong
    EXPECT_FALSE(i18n::IsValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(i18n::IsValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
    EXPECT_FALSE(i18n::IsValidUtf8("\xE2\x82"));
}
