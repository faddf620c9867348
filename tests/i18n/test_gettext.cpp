#include <gtest/gtest.h>

#include "i18n/gettext.h"
#include "i18n/language.h"
#include "i18n/plural.h"
#include "mo_helpers.h"

using namespace i18n_test;
using i18n::ECatalogue;
using i18n::EUntranslatableText;
using i18n::TGnuGettextInstance;

namespace {

// A catalogue tree of its own and LANG set for each test.
class Catalogues : public ::testing::Test {
protected:
    void SetLang(const char* lang) { lang_.emplace(lang); }
    void Compile(const std::string& lang, const std::string& domain, const Entries& e)
    {
        CompileWithMsgfmt(e, CataloguePath(root_.Path(), lang, domain));
    }
    void TearDown() override { i18n::StopMessageCatalogues(); }

    TempDir root_;
    std::optional<ScopedLocale> lang_;
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

TEST_F(Catalogues, LineEndsAreLookedUpAndReturnedBare)
{
    SetLang("de");
    Compile("de", "default", {{"First line\nSecond line", "Erste Zeile\nZweite Zeile"}});
    Compile("de", "cport", {{"Port\nlost", "Schnittstelle\nweg"}});
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.Translate("First line\r\nSecond line"), "Erste Zeile\nZweite Zeile");
    EXPECT_EQ(t.Translate("First line\nSecond line"), "Erste Zeile\nZweite Zeile");
    EXPECT_EQ(t.Translate("a\nb\r\nc"), "a\nb\nc") << "untranslated text alike";

    // An untranslated text with a line feed is its own key again, so the
    // resource-string search goes on to the domain that translates it.
    i18n::StartMessageCatalogues(root_.Str());
    i18n::AddResourceStringDomain("cport");
    EXPECT_EQ(i18n::TranslateResourceString("Port\nlost"), "Schnittstelle\nweg");
    EXPECT_EQ(i18n::TranslateResourceString("Not\r\nthere"), "Not\nthere");
}

TEST_F(Catalogues, EmptyKeyYieldsTheCatalogueHeader)
{
    SetLang("de");
    Compile("de", "default", {{"x", "y"}});
    TGnuGettextInstance t(root_.Str());
    const std::string header = t.Translate("");
    EXPECT_NE(header.find("Content-Type: text/plain; charset=UTF-8\n"), std::string::npos)
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
        EXPECT_EQ(e.Catalogue(), CataloguePath(root_.Path(), "de", "default").string());
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

TEST_F(Catalogues, ShippedCataloguesCoverEverySerialTextWithItsFormat)
{
    for (const char* lang : {"de_DE.UTF-8", "nl_BE.UTF-8", "fr_FR.UTF-8", "pl_PL.UTF-8"}) {
        SCOPED_TRACE(lang);
        SetLang(lang);
        i18n::StartMessageCatalogues(QP_SHIPPED_LOCALE_DIR);
        for (const std::string& text : SerialTexts()) {
            const std::string translated = i18n::Translate(text);
            EXPECT_NE(translated, text);
            EXPECT_EQ(translated.find('%'), std::string::npos) << translated;
        }
        const std::string suffix = i18n::Translate(kSuffix);
        EXPECT_NE(suffix, kSuffix);
        EXPECT_EQ(suffix.front(), ' ');
        const auto d = suffix.find("%d");
        ASSERT_NE(d, std::string::npos);
        EXPECT_EQ(suffix.find('%', d + 1), std::string::npos);
        const std::string system = i18n::TranslateResourceString("System Error.  Code: %d.\n%s");
        EXPECT_LT(system.find("%d"), system.find("\n%s")) << system;
        EXPECT_EQ(system.find('\r'), std::string::npos);
        i18n::StopMessageCatalogues();
    }
}

TEST(Language, LanguageThenLcAllThenLcMessagesThenLang)
{
    ScopedLocale clean("");
    EXPECT_EQ(i18n::ResolveLanguage(""), "C");
    {
        ScopedEnv lang("LANG", "de_CH.UTF-8");
        EXPECT_EQ(i18n::ResolveLanguage(""), "de_CH");
        ScopedEnv lcMessages("LC_MESSAGES", "fr_BE.ISO-8859-1@euro");
        EXPECT_EQ(i18n::ResolveLanguage(""), "fr_BE@euro") << "LC_MESSAGES over LANG";
        ScopedEnv lcAll("LC_ALL", "nl_NL.UTF-8");
        EXPECT_EQ(i18n::ResolveLanguage(""), "nl_NL") << "LC_ALL over LC_MESSAGES";
        EXPECT_EQ(i18n::DetectSystemLanguage(), "nl_NL");
        ScopedEnv language("LANGUAGE", "pl:de_DE.UTF-8::en");
        EXPECT_EQ(i18n::ResolveLanguage(""), "pl:de_DE:en") << "LANGUAGE over all, empty entries out";
    }
    {
        // LANGUAGE counts only outside the C locale.
        ScopedEnv language("LANGUAGE", "de");
        EXPECT_EQ(i18n::ResolveLanguage(""), "C");
        ScopedEnv lang("LANG", "POSIX");
        EXPECT_EQ(i18n::ResolveLanguage(""), "POSIX");
        ScopedEnv lcAll("LC_ALL", "C");
        EXPECT_EQ(i18n::ResolveLanguage(""), "C");
        ScopedEnv lcAllUtf8("LC_ALL", "C.UTF-8");
        EXPECT_EQ(i18n::ResolveLanguage(""), "de") << "C.UTF-8 is not plain C, as for glibc";
    }
    EXPECT_EQ(i18n::ResolveLanguage("nl_BE.UTF-8"), "nl_BE");
    EXPECT_EQ(i18n::ResolveLanguage("sr_RS.UTF-8@latin"), "sr_RS@latin");
    EXPECT_EQ(i18n::ResolveLanguage(".UTF-8"), "C");
}

TEST(Language, CatalogueNamesFallBackAtTheSeparatorsNotAtAFixedLength)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(i18n::CatalogueLanguages("fil_PH"), (V{"fil_PH", "fil"}));
    EXPECT_EQ(i18n::CatalogueLanguages("sr_RS@latin"),
              (V{"sr_RS@latin", "sr@latin", "sr_RS", "sr"}));
    EXPECT_EQ(i18n::CatalogueLanguages("ca@valencia"), (V{"ca@valencia", "ca"}));
    EXPECT_EQ(i18n::CatalogueLanguages("de_AT.UTF-8:de:fr_FR"), (V{"de_AT", "de", "fr_FR", "fr"}));
    EXPECT_EQ(i18n::CatalogueLanguages("fr:C:de"), (V{"fr"})) << "C ends the list";
    EXPECT_EQ(i18n::CatalogueLanguages("C"), V{});
    EXPECT_EQ(i18n::CatalogueLanguages("../../etc:nl"), (V{"nl"})) << "names, never paths";
}

// A text the first catalogue lacks comes from the next one in the chain: the
// regional one, its language, then the next language of LANGUAGE.
TEST_F(Catalogues, TextsFallThroughTheCataloguesInOrder)
{
    SetLang("de_CH.UTF-8");
    ScopedEnv language("LANGUAGE", "de_CH:fr");
    Compile("de_CH", "default", {{"Street", "Strasse"}});
    Compile("de", "default", {{"Street", "Stra\xC3\x9F" "e"}, {"Loft", "Schlag"}});
    Compile("fr", "default", {{"Loft", "Pigeonnier"}, {"Race", "Concours"}});
    Compile("fil", "default", {{"Race", "Karera"}});
    Compile("fi", "default", {{"Race", "Kilpailu"}});
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.CurrentLanguage(), "de_CH:fr");
    EXPECT_EQ(t.Translate("Street"), "Strasse");
    EXPECT_EQ(t.Translate("Loft"), "Schlag");
    EXPECT_EQ(t.Translate("Race"), "Concours");
    EXPECT_EQ(t.Translate("Clock"), "Clock");
    EXPECT_EQ(t.Domain("default").CataloguePaths(),
              (std::vector<std::string>{CataloguePath(root_.Path(), "de_CH", "default").string(),
                                        CataloguePath(root_.Path(), "de", "default").string(),
                                        CataloguePath(root_.Path(), "fr", "default").string()}));

    t.ChooseLanguage("fil_PH.UTF-8");
    EXPECT_EQ(t.Translate("Race"), "Karera") << "fil, not the Finnish fi";
}

// cp writes a new catalogue over the open one in place; a lookup after that
// must neither crash nor read the new bytes through the old offsets.
TEST_F(Catalogues, CatalogueRewrittenOrCutShortOnDiskKeepsAnswering)
{
    SetLang("de");
    Entries many;
    for (int i = 0; i < 300; ++i)
        many.emplace_back("text " + std::to_string(i), "Text " + std::to_string(i));
    const auto path = CataloguePath(root_.Path(), "de", "default");
    CompileWithMsgfmt(many, path);
    TGnuGettextInstance t(root_.Str());
    ASSERT_EQ(t.Translate("text 7"), "Text 7");

    TempDir other;
    CompileWithMsgfmt({{"text 7", "anders"}, {"zzz", "moved every offset"}}, other.Path() / "x.mo");
    const std::string rewritten = ReadFile(other.Path() / "x.mo");
    for (const std::string& bytes : {rewritten, rewritten.substr(0, 40), std::string()}) {
        WriteFile(path, bytes); // truncates and rewrites the same inode
        for (int i = 0; i < 300; i += 13)
            EXPECT_EQ(t.Translate("text " + std::to_string(i)), "Text " + std::to_string(i));
    }
    t.ChooseLanguage("de");
    EXPECT_THROW(t.Translate("text 7"), ECatalogue) << "read again: the empty file now";
}

TEST_F(Catalogues, ContextsAndPluralFormsFromMsgfmt)
{
    SetLang("pl_PL.UTF-8");
    CompilePoWithMsgfmt(R"po(msgid ""
msgstr ""
"Content-Type: text/plain; charset=UTF-8\n"
"Plural-Forms: nplurals=3; plural=(n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);\n"

msgid "Open"
msgstr "Otwórz"

msgctxt "Clock"
msgid "Open"
msgstr "Otwarty"

msgid "%n pigeon(s)"
msgid_plural "%n pigeons"
msgstr[0] "%n gołąb"
msgstr[1] "%n gołębie"
msgstr[2] "%n gołębi"
)po",
                        CataloguePath(root_.Path(), "pl", "default"));
    TGnuGettextInstance t(root_.Str());
    EXPECT_EQ(t.LookUpInDomain("default", "Clock", "Open"), "Otwarty");
    EXPECT_EQ(t.LookUpInDomain("default", "", "Open"), "Otw\xC3\xB3rz");
    EXPECT_EQ(t.LookUpInDomain("default", "Loft", "Open"), std::nullopt) << "no bare fallback here";
    EXPECT_EQ(t.Translate("Open"), "Otw\xC3\xB3rz");
    const std::pair<long, const char*> counts[] = {
        {1, "%n go\xC5\x82\xC4\x85" "b"}, {2, "%n go\xC5\x82\xC4\x99" "bie"},
        {4, "%n go\xC5\x82\xC4\x99" "bie"}, {5, "%n go\xC5\x82\xC4\x99" "bi"},
        {12, "%n go\xC5\x82\xC4\x99" "bi"}, {22, "%n go\xC5\x82\xC4\x99" "bie"},
        {0, "%n go\xC5\x82\xC4\x99" "bi"}, {-1, "%n go\xC5\x82\xC4\x85" "b"}};
    for (auto [n, form] : counts)
        EXPECT_EQ(t.LookUpInDomain("default", "", "%n pigeon(s)", n), form) << n;
    EXPECT_EQ(t.LookUpInDomain("default", "", "%n pigeons", 5), std::nullopt);
}

TEST(PluralRule, EvaluatesTheRulesCataloguesCarry)
{
    using i18n::PluralRule;
    auto forms = [](const char* rule, std::initializer_list<unsigned long> ns) {
        const auto r = PluralRule::Parse(rule);
        std::vector<int> out;
        for (unsigned long n : ns)
            out.push_back(r ? r->FormFor(n) : -1);
        return out;
    };
    using V = std::vector<int>;
    EXPECT_EQ(forms("nplurals=2; plural=(n > 1);", {0, 1, 2}), (V{0, 0, 1}));
    EXPECT_EQ(forms(" nplurals = 1 ; plural = 0 ; ", {0, 1, 7}), (V{0, 0, 0}));
    // Russian and Arabic: ?: chains, %, && and ||.
    EXPECT_EQ(forms("nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && "
                    "(n%100<10 || n%100>=20) ? 1 : 2);",
                    {1, 21, 11, 3, 13, 5, 111, 104}),
              (V{0, 0, 2, 1, 2, 2, 2, 1}));
    EXPECT_EQ(forms("nplurals=6; plural=n==0 ? 0 : n==1 ? 1 : n==2 ? 2 : n%100>=3 && "
                    "n%100<=10 ? 3 : n%100>=11 ? 4 : 5;",
                    {0, 1, 2, 5, 50, 100, 102}),
              (V{0, 1, 2, 3, 4, 5, 5}));
    EXPECT_EQ(forms("nplurals=3; plural=!(n-1) ? 0 : n*2/4+1 < 3 ? 1 : 2;", {1, 2, 3, 4}),
              (V{0, 1, 1, 2}));

    // Malformed rules, and a rule that divides by zero or names a form past
    // the last, fall back to Germanic plurals.
    for (const char* bad : {"", "nplurals=2;", "nplurals=0; plural=0;", "nplurals=2; plural=n +;",
                            "nplurals=2; plural=(n != 1;", "nplurals=2; plural=x;",
                            "nplurals=2; plural=n ? 1;", "nplurals=2; plural=n 1;",
                            "nplurals=2; plural=99999999999999999999999;"})
        EXPECT_FALSE(PluralRule::Parse(bad)) << bad;
    EXPECT_EQ(PluralRule::FromHeader("Language: fr\nPlural-Forms: nplurals=2; plural=(n > 1);\n")
                  .FormFor(0), 0);
    EXPECT_EQ(PluralRule::FromHeader("Language: fr\nPlural-Forms: nplurals=2; plural=(n > 1;\n")
                  .FormFor(0), 1);
    EXPECT_EQ(PluralRule::FromHeader("Language: xx\n").FormFor(0), 1);
    EXPECT_EQ(forms("nplurals=3; plural=n/(n-1);", {1, 5}), (V{0, 1}));
    EXPECT_EQ(forms("nplurals=2; plural=n+5;", {1, 0}), (V{0, 1}));
    std::string deep = "nplurals=2; plural=" + std::string(5000, '(') + "n" + std::string(5000, ')') + ";";
    EXPECT_FALSE(PluralRule::Parse(deep)) << "nesting is bounded";
    EXPECT_FALSE(PluralRule::Parse("nplurals=2; plural=" + std::string(5000, '!') + "n;"));
}

TEST(CatalogueDirectory, BesideTheProgramThenTheInstalledShareDirectory)
{
    TempDir prefix;
    const auto bin = prefix.Path() / "bin";
    const auto share = prefix.Path() / "share" / "quillprint" / "locale";
    fs::create_directories(bin);
    EXPECT_EQ(i18n::CatalogueDirectoryFor(bin.string()), (bin / "locale").string()) << "neither";
    fs::create_directories(share);
    EXPECT_EQ(i18n::CatalogueDirectoryFor(bin.string()), share.string());
    fs::create_directories(bin / "locale");
    EXPECT_EQ(i18n::CatalogueDirectoryFor(bin.string()), (bin / "locale").string());
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
