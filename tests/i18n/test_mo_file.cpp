#include <gtest/gtest.h>

#include <cstring>

#include "i18n/mo_file.h"
#include "mo_helpers.h"

using namespace i18n_test;
using i18n::MoCatalogue;

namespace {

const Entries kEntries = {
    {"", "Content-Type: text/plain; charset=UTF-8\nLanguage: de\n"}, // as PoSource writes it
    {"Apple", "Apfel"},
    {"Banana", "Banane"},
    {"Cherry", "Kirsche"},
    {"apple", "kleiner Apfel"},
    {"\xC3\xA9t\xC3\xA9", "Sommer"}, // sorts after every ASCII key
};

std::optional<std::string> Find(const MoCatalogue& mo, std::string_view key)
{
    auto r = mo.Find(key);
    return r ? std::optional<std::string>(std::string(*r)) : std::nullopt;
}

void ExpectEveryEntryFound(const std::string& bytes)
{
    auto mo = MoCatalogue::Parse(bytes.data(), bytes.size());
    ASSERT_TRUE(mo.has_value());
    EXPECT_EQ(mo->StringCount(), kEntries.size());
    for (const auto& [id, str] : kEntries)
        EXPECT_EQ(Find(*mo, id), str) << id;
    EXPECT_EQ(Find(*mo, "Apples"), std::nullopt);
    EXPECT_EQ(Find(*mo, "Appl"), std::nullopt);
    EXPECT_EQ(Find(*mo, "0"), std::nullopt);
    EXPECT_EQ(Find(*mo, "\xFF"), std::nullopt);
}

} // namespace

TEST(MoCatalogue, ReadsBothByteOrders)
{
    const std::string native = BuildMo(kEntries, false);
    const std::string swapped = BuildMo(kEntries, true);
    ASSERT_NE(native, swapped);
    ExpectEveryEntryFound(native);
    ExpectEveryEntryFound(swapped);
    EXPECT_FALSE(MoCatalogue::Parse(native.data(), native.size())->Swapped());
    EXPECT_TRUE(MoCatalogue::Parse(swapped.data(), swapped.size())->Swapped());
}

TEST(MoCatalogue, ReadsWhatMsgfmtWrites)
{
    TempDir dir;
    const auto mo = dir.Path() / "x.mo";
    CompileWithMsgfmt({{"Apple", "Apfel"}, {"Banana", "Banane"}, {"Cherry", "Kirsche"},
                       {"apple", "kleiner Apfel"}, {"\xC3\xA9t\xC3\xA9", "Sommer"}},
                      mo);
    ExpectEveryEntryFound(ReadFile(mo));
}

// Texts that share a long beginning and tie in the bytes after it: the
// search must still tell them apart and find nothing between them.
TEST(MoCatalogue, TextsWithALongSharedBeginning)
{
    const Entries entries = {
        {"Port /dev/ttyUSB0 busy", "belegt"},
        {"Port /dev/ttyUSB0 busy (again)", "wieder belegt"},
        {"Port /dev/ttyUSB1 busy", "USB1 belegt"},
        {"Port /dev/ttyS0 gone", "weg"},
    };
    Entries withHeader = entries;
    withHeader.emplace_back("", "Language: de\n");
    TempDir dir;
    CompileWithMsgfmt(entries, dir.Path() / "x.mo"); // with msgfmt's header
    for (const std::string& bytes :
         {BuildMo(withHeader, false), BuildMo(withHeader, true), ReadFile(dir.Path() / "x.mo")}) {
        auto mo = MoCatalogue::Parse(bytes.data(), bytes.size());
        ASSERT_TRUE(mo.has_value());
        for (const auto& [id, str] : entries)
            EXPECT_EQ(Find(*mo, id), str) << id;
        EXPECT_TRUE(Find(*mo, "").has_value());
        for (const char* miss : {"Port /dev/tty", "Port", "Port /dev/ttyUSB0 bus",
                                 "Port /dev/ttyUSB0 busy (again) and again", "Port /dev/ttyUSB0 busz",
                                 "Port /dev/ttyS0", "Port /dev/ttyS0 gone\x01", "Zebra"})
            EXPECT_EQ(Find(*mo, miss), std::nullopt) << miss;
    }
}

TEST(MoCatalogue, EmptyCatalogueFindsNothing)
{
    const std::string bytes = BuildMo({}, false);
    auto mo = MoCatalogue::Parse(bytes.data(), bytes.size());
    ASSERT_TRUE(mo.has_value());
    EXPECT_EQ(mo->StringCount(), 0u);
    EXPECT_EQ(Find(*mo, ""), std::nullopt);
}

TEST(MoCatalogue, PluralEntryAnswersWithItsSingularForm)
{
    std::string withPlural = BuildMo({{std::string("file\0files", 10),
                                       std::string("Datei\0Dateien", 13)},
                                      {"zebra", "Zebra"}},
                                     false);
    auto mo = MoCatalogue::Parse(withPlural.data(), withPlural.size());
    ASSERT_TRUE(mo.has_value());
    EXPECT_EQ(Find(*mo, "file"), "Datei");
    EXPECT_EQ(Find(*mo, "zebra"), "Zebra");
    EXPECT_EQ(Find(*mo, "files"), std::nullopt);
}

TEST(MoCatalogue, RejectsWhatIsNotACatalogue)
{
    const std::string good = BuildMo(kEntries, false);
    EXPECT_FALSE(MoCatalogue::Parse(nullptr, 0));
    EXPECT_FALSE(MoCatalogue::Parse(good.data(), 27)) << "header shorter than 28 bytes";
    std::string text = "This is plain text, not a catalogue at all.\n";
    EXPECT_FALSE(MoCatalogue::Parse(text.data(), text.size()));
    std::string badMagic = good;
    badMagic[0] = 0x00;
    EXPECT_FALSE(MoCatalogue::Parse(badMagic.data(), badMagic.size()));
}

TEST(MoCatalogue, RejectsEveryTruncationOfARealCatalogue)
{
    TempDir dir;
    const auto path = dir.Path() / "x.mo";
    CompileWithMsgfmt({{"one", "eins"}, {"two", "zwei"}, {"three", "drei"}}, path);
    const std::string full = ReadFile(path);
    ASSERT_TRUE(MoCatalogue::Parse(full.data(), full.size()));
    for (std::size_t len = 0; len < full.size(); ++len) {
        // A copy of exactly len bytes, so that ASan sees any read past it.
        std::vector<char> cut(full.begin(), full.begin() + static_cast<long>(len));
        EXPECT_FALSE(MoCatalogue::Parse(cut.data(), cut.size())) << "length " << len;
    }
}

namespace {

// Overwrites the 32-bit word at offset in this machine's byte order.
std::string Patched(std::string bytes, std::size_t offset, std::uint32_t value)
{
    std::memcpy(bytes.data() + offset, &value, 4);
    return bytes;
}

} // namespace

TEST(MoCatalogue, RejectsCountsAndOffsetsOutsideTheFile)
{
    const std::string good = BuildMo({{"a", "b"}, {"c", "d"}}, false);
    const auto size = static_cast<std::uint32_t>(good.size());
    ASSERT_TRUE(MoCatalogue::Parse(good.data(), good.size()));

    const struct {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
    } cases[] = {
        {"huge string count", 8, 0xFFFFFFFFu},
        {"count past the tables", 8, 1000},
        {"source table past the end", 12, size - 8},
        {"translation table past the end", 16, 0xFFFFFFF0u},
        {"source length past the end", 28, size},
        {"source offset past the end", 32, size + 100},
        {"translation offset wraps", 48, 0xFFFFFFFFu},
        {"translation length wraps", 44, 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        const std::string bad = Patched(good, c.offset, c.value);
        EXPECT_FALSE(MoCatalogue::Parse(bad.data(), bad.size())) << c.what;
    }
}

TEST(MoCatalogue, RejectsAStringWithoutItsTerminatingZero)
{
    std::string bad = BuildMo({{"a", "b"}, {"c", "d"}}, false);
    ASSERT_EQ(bad.back(), '\0');
    bad.back() = 'x'; // the last translation runs into the end of the file
    EXPECT_FALSE(MoCatalogue::Parse(bad.data(), bad.size()));

    std::string inner = BuildMo({{"a", "b"}, {"c", "d"}}, false);
    // The first source text "a" is followed by its zero at offset(a) + 1.
    std::uint32_t off;
    std::memcpy(&off, inner.data() + 32, 4);
    inner[off + 1] = 'z';
    EXPECT_FALSE(MoCatalogue::Parse(inner.data(), inner.size()));
}
