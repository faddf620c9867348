// The .mo reader against arbitrary file contents. The first input byte picks
// the mode: raw bytes as the whole file, or a valid catalogue with the rest
// of the input written over it (cut short, counts, offsets and string bytes
// overwritten), which reaches the table checks far more often. The input
// also goes to the plural-rule parser as a catalogue header.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "i18n/gettext.h"
#include "i18n/mo_file.h"
#include "i18n/plural.h"

namespace {

void Put32(std::string& s, std::uint32_t v)
{
    s.append(reinterpret_cast<const char*>(&v), 4);
}

// "" (header), "Cancel", "OK", "Registry error", "a\nb", with translations.
std::string ValidCatalogue()
{
    const char* orig[] = {"", "Cancel", "OK", "Registry error", "a\nb"};
    const char* trans[] = {"Content-Type: text/plain; charset=UTF-8\n", "Abbrechen", "Jawohl",
                           "Registrierungsfehler", "x\ny"};
    const std::uint32_t n = 5;
    std::string strings;
    std::vector<std::uint32_t> lens, offs;
    const std::uint32_t base = 28 + 16 * n;
    for (const char* const* table : {orig, trans})
        for (std::uint32_t i = 0; i < n; ++i) {
            lens.push_back(static_cast<std::uint32_t>(std::strlen(table[i])));
            offs.push_back(base + static_cast<std::uint32_t>(strings.size()));
            strings += table[i];
            strings += '\0';
        }
    std::string mo;
    for (std::uint32_t v : {i18n::kMoMagic, 0u, n, 28u, 28u + 8 * n, 0u, 0u})
        Put32(mo, v);
    for (std::size_t i = 0; i < lens.size(); ++i) {
        Put32(mo, lens[i]);
        Put32(mo, offs[i]);
    }
    return mo + strings;
}

const std::string kTemplate = ValidCatalogue();

std::string FileFromInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return {};
    if ((data[0] & 1) == 0)
        return std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    // Patched template: [cut length] then (position, byte) pairs.
    std::string mo = kTemplate;
    std::size_t i = 1;
    if (i < size && (data[i] & 0x80))
        mo.resize(data[i] % (mo.size() + 1));
    ++i;
    for (; i + 1 < size && !mo.empty(); i += 2)
        mo[data[i] % mo.size()] = static_cast<char>(data[i + 1]);
    return mo;
}

void CheckCatalogue(const std::string& bytes)
{
    // An exact-size heap copy, so any read past the end is caught.
    std::unique_ptr<char[]> copy(new char[bytes.size() ? bytes.size() : 1]);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    auto mo = i18n::MoCatalogue::Parse(copy.get(), bytes.size());
    if (!mo)
        return;
    for (const char* key : {"", "Cancel", "OK", "Registry error", "a\nb", "zzz", "\xFF"})
        (void)mo->Find(key);
    for (std::uint32_t i = 0; i < mo->StringCount(); ++i) {
        (void)mo->Translation(i);
        (void)mo->Find(mo->Original(i));
    }
}

// The whole path through a file on disk, as the program takes it.
void CheckThroughFile(const std::string& bytes)
{
    // Plain storage, so the clean-up at exit never meets a destroyed object.
    static char dir[] = "/tmp/fuzz-mo-XXXXXX";
    static const std::filesystem::path root = [] {
        if (!::mkdtemp(dir))
            std::abort();
        std::filesystem::create_directories(std::filesystem::path(dir) / "de" / "LC_MESSAGES");
        ::setenv("LANG", "de_DE.UTF-8", 1);
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
            ::unsetenv(name);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        });
        return std::filesystem::path(dir);
    }();
    {
        std::ofstream out(root / "de" / "LC_MESSAGES" / "default.mo",
                          std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    i18n::TGnuGettextInstance translator(root.string());
    for (const char* key : {"Cancel", "OK", "a\r\nb", "", "Registry error"}) {
        try {
            (void)translator.Translate(key);
            (void)translator.LookUpInDomain("default", "QPlatformTheme", key, 3);
        } catch (const i18n::ECatalogue&) {
        } catch (const i18n::EUntranslatableText&) {
        }
    }
}

void CheckPluralRule(const std::uint8_t* data, std::size_t size)
{
    const std::string header = "Plural-Forms: " + std::string(reinterpret_cast<const char*>(data), size);
    const i18n::PluralRule rule = i18n::PluralRule::FromHeader(header);
    for (unsigned long n : {0ul, 1ul, 2ul, 5ul, 11ul, 22ul, 101ul, ~0ul})
        if (const int form = rule.FormFor(n); form < 0 || form >= rule.Count())
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CheckPluralRule(data, size);
    const std::string file = FileFromInput(data, size);
    CheckCatalogue(file);
    if (size > 0 && (data[0] & 2))
        CheckThroughFile(file);
    return 0;
}
