#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "i18n/gettext.h"
#include "mo_helpers.h"

using namespace i18n_test;

// Lookups come from the main thread and from serial monitor threads at
// once: first opens, domain creation and resource-string lookups race here.
TEST(CatalogueThreads, ConcurrentFirstLookupsInSeveralDomains)
{
    ScopedLocale lang("de_DE.UTF-8");
    TempDir root;
    Entries entries;
    for (int i = 0; i < 200; ++i)
        entries.emplace_back("text " + std::to_string(i), "Text " + std::to_string(i));
    CompileWithMsgfmt(entries, CataloguePath(root.Path(), "de", "default"));
    CompileWithMsgfmt({{"only in cport", "nur in cport"}},
                      CataloguePath(root.Path(), "de", "cport"));
    WriteFile(CataloguePath(root.Path(), "de", "broken"), std::string(64, 'x'));

    for (int round = 0; round < 5; ++round) {
        i18n::StartMessageCatalogues(root.Str());
        std::atomic<bool> go{false};
        std::atomic<int> wrong{0};
        std::atomic<int> brokenErrors{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                while (!go.load())
                    std::this_thread::yield();
                if (t == 0)
                    i18n::AddResourceStringDomain("cport");
                for (int i = 0; i < 200; ++i) {
                    const int k = (i * 7 + t) % 200;
                    if (i18n::Translate("text " + std::to_string(k)) != "Text " + std::to_string(k))
                        ++wrong;
                    const std::string r = i18n::TranslateResourceString("only in cport");
                    if (r != "only in cport" && r != "nur in cport")
                        ++wrong;
                    try {
                        if (i18n::TranslateInDomain("broken", "text 1") != "text 1")
                            ++wrong;
                    } catch (const i18n::ECatalogue&) {
                        ++brokenErrors;
                    }
                    if (i18n::TranslateInDomain("d" + std::to_string(i % 5), "x") != "x")
                        ++wrong;
                }
            });
        }
        go = true;
        for (auto& th : threads)
            th.join();
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_EQ(brokenErrors.load(), 1) << "an invalid catalogue is reported once";
        EXPECT_EQ(i18n::TranslateResourceString("only in cport"), "nur in cport");
        i18n::StopMessageCatalogues();
    }
}

// A catalogue closed (new language) while other threads read it: lookups
// must keep answering from valid memory, with either the old or new result.
TEST(CatalogueThreads, LookupsRaceALanguageChange)
{
    TempDir root;
    CompileWithMsgfmt({{"Cancel", "Abbrechen"}}, CataloguePath(root.Path(), "de", "default"));
    CompileWithMsgfmt({{"Cancel", "Annuler"}}, CataloguePath(root.Path(), "fr", "default"));
    ScopedLocale lang("de");
    i18n::TGnuGettextInstance t(root.Str());
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<long> lookups{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            while (!stop.load()) {
                const std::string s = t.Translate("Cancel");
                if (s != "Abbrechen" && s != "Annuler" && s != "Cancel")
                    ++wrong;
                ++lookups;
            }
        });
    for (int i = 0; i < 200; ++i)
        t.ChooseLanguage(i % 2 ? "de_DE" : "fr_FR.UTF-8");
    while (lookups.load() < 1000)
        std::this_thread::yield();
    stop = true;
    for (auto& th : readers)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(t.CurrentLanguage(), "de_DE");
    EXPECT_EQ(t.Translate("Cancel"), "Abbrechen");
}
