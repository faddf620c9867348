// A lookup in a catalogue of 2,000 entries through our reader, and glibc's
// dgettext on the very same compiled file as the yardstick.

#include <libintl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "i18n/gettext.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kEntries = 2000;
constexpr int kRounds = 50; // lookups per trial = kEntries * kRounds
constexpr int kTrials = 9;  // best of, ours and glibc's alternating

std::string Key(int i)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "Message %04d: the port reported a fault while reading", i);
    return buf;
}

std::string Value(int i)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "Meldung %04d: die Schnittstelle meldete beim Lesen einen Fehler", i);
    return buf;
}

bool CompileCatalogue(const fs::path& mo)
{
    fs::create_directories(mo.parent_path());
    const fs::path po = mo.string() + ".po";
    {
        std::ofstream out(po);
        out << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
        for (int i = 0; i < kEntries; ++i)
            out << "msgid \"" << Key(i) << "\"\nmsgstr \"" << Value(i) << "\"\n\n";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        execl(QP_MSGFMT, QP_MSGFMT, "-o", mo.c_str(), po.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

template <typename Lookup>
double NanosecondsPerLookup(const std::vector<std::string>& keys, Lookup&& lookup)
{
    std::size_t sink = 0;
    const auto start = Clock::now();
    for (int r = 0; r < kRounds; ++r)
        for (const auto& k : keys)
            sink += lookup(k);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    if (sink == 0)
        std::puts("(no lookups)");
    return ns / (static_cast<double>(kRounds) * static_cast<double>(keys.size()));
}

} // namespace

int main()
{
    char tmpl[] = "/tmp/bench-i18n-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const fs::path root = tmpl;
    if (!CompileCatalogue(root / "de" / "LC_MESSAGES" / "bench.mo")) {
        std::fprintf(stderr, "msgfmt failed\n");
        return 1;
    }

    std::vector<std::string> keys;
    for (int i = 0; i < kEntries; ++i)
        keys.push_back(Key(i));
    std::shuffle(keys.begin(), keys.end(), std::mt19937(1));

    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
        unsetenv(name);
    setenv("LANG", "de_DE.UTF-8", 1);
    i18n::StartMessageCatalogues(root.string());
    if (i18n::TranslateInDomain("bench", Key(7)) != Value(7)) {
        std::fprintf(stderr, "our reader did not translate\n");
        return 1;
    }
    // glibc honours LANGUAGE only outside the plain "C" locale.
    setenv("LANGUAGE", "de", 1);
    std::setlocale(LC_ALL, "C.UTF-8");
    bindtextdomain("bench", root.c_str());
    if (Value(7) != dgettext("bench", Key(7).c_str())) {
        std::fprintf(stderr, "glibc did not translate\n");
        return 1;
    }

    // The machine is shared: alternate short trials and keep each side's best.
    double ours = 1e18, glibc = 1e18;
    for (int trial = 0; trial < kTrials; ++trial) {
        ours = std::min(ours, NanosecondsPerLookup(keys, [](const std::string& k) {
                            return i18n::TranslateInDomain("bench", k).size();
                        }));
        glibc = std::min(glibc, NanosecondsPerLookup(keys, [](const std::string& k) {
                             return std::strlen(dgettext("bench", k.c_str()));
                         }));
    }

    std::printf("mo_lookup_ns: %.1f ns\n", ours);
    std::printf("glibc_dgettext_ns: %.1f ns\n", glibc);
    std::printf("mo_lookup_ratio_vs_glibc: %.2f ratio\n", ours / glibc);

    i18n::StopMessageCatalogues();
    fs::remove_all(root);
    return 0;
}
