#include "i18n/mo_file.h"

#include <cstring>

namespace i18n {

namespace {

std::uint32_t Load32(const unsigned char* p, bool swapped)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v); // offsets in the file need not be aligned
    return swapped ? __builtin_bswap32(v) : v;
}

// A descriptor (length, offset) names a string that must lie wholly inside
// the buffer and be followed by its terminating zero.
bool StringFits(const unsigned char* data, std::size_t size, std::uint32_t length,
                std::uint32_t offset)
{
    const std::uint64_t end = std::uint64_t{offset} + length;
    return end < size && data[end] == 0;
}

// The 8 bytes of s (length len) from offset from on, as a big-endian number
// padded with zeros: numbers order as the bytes do.
std::uint64_t PrefixAt(const char* s, std::size_t len, std::size_t from)
{
    unsigned char b[8] = {};
    if (from < len)
        std::memcpy(b, s + from, len - from < 8 ? len - from : 8);
    std::uint64_t v = 0;
    for (unsigned char c : b)
        v = (v << 8) | c;
    return v;
}

} // namespace

std::optional<MoCatalogue> MoCatalogue::Parse(const void* data, std::size_t size)
{
    if (data == nullptr || size < kMoHeaderSize)
        return std::nullopt;

    MoCatalogue c;
    c.data_ = static_cast<const unsigned char*>(data);
    c.size_ = size;

    const std::uint32_t magic = Load32(c.data_, false);
    if (magic == kMoMagic)
        c.swapped_ = false;
    else if (magic == kMoMagicSwapped)
        c.swapped_ = true;
    else
        return std::nullopt;

    c.count_ = c.Word(8);
    c.originals_ = c.Word(12);
    c.translations_ = c.Word(16);

    const std::uint64_t tableBytes = std::uint64_t{c.count_} * 8;
    if (std::uint64_t{c.originals_} + tableBytes > size ||
        std::uint64_t{c.translations_} + tableBytes > size)
        return std::nullopt;

    for (std::uint32_t i = 0; i < c.count_; ++i) {
        const std::size_t o = c.originals_ + std::size_t{i} * 8;
        const std::size_t t = c.translations_ + std::size_t{i} * 8;
        if (!StringFits(c.data_, size, c.Word(o), c.Word(o + 4)) ||
            !StringFits(c.data_, size, c.Word(t), c.Word(t + 4)))
            return std::nullopt;
    }

    // In a sorted table the first and the last text share what all share.
    const std::uint32_t first = c.count_ > 0 && c.Original(0).empty() ? 1 : 0;
    if (c.count_ > first) {
        const std::string_view a = c.Original(first);
        const std::string_view b = c.Original(c.count_ - 1);
        while (c.shared_ < a.size() && c.shared_ < b.size() && a[c.shared_] == b[c.shared_])
            ++c.shared_;
        c.sharedText_ = a.data();
    }
    c.prefixes_.reserve(c.count_);
    for (std::uint32_t i = 0; i < c.count_; ++i) {
        const std::string_view source = c.Original(i);
        c.prefixes_.push_back(PrefixAt(source.data(), source.size(), c.shared_));
    }
    return c;
}

std::uint32_t MoCatalogue::Word(std::size_t offset) const
{
    return Load32(data_ + offset, swapped_);
}

std::string_view MoCatalogue::Entry(std::uint32_t table, std::uint32_t index) const
{
    const std::size_t d = table + std::size_t{index} * 8;
    const char* s = reinterpret_cast<const char*>(data_) + Word(d + 4);
    return {s, ::strnlen(s, Word(d))};
}

// Orders key against a source text as strcmp orders them: the text ends at
// its first zero byte, which lies at or before its recorded length.
static int CompareWithSource(std::string_view key, const char* source, std::uint32_t length)
{
    const std::size_t n = key.size() < length ? key.size() : length;
    if (n != 0)
        if (const int c = std::memcmp(key.data(), source, n))
            return c;
    if (key.size() == length)
        return 0;
    if (key.size() > length)
        return 1;
    return source[key.size()] == '\0' ? 0 : -1;
}

std::string_view MoCatalogue::TranslationForms(std::uint32_t index) const
{
    const std::size_t d = translations_ + std::size_t{index} * 8;
    return {reinterpret_cast<const char*>(data_) + Word(d + 4), Word(d)};
}

std::optional<std::string_view> MoCatalogue::Find(std::string_view key) const
{
    const auto index = FindIndex(key);
    return index ? std::optional<std::string_view>(Translation(*index)) : std::nullopt;
}

std::optional<std::uint32_t> MoCatalogue::FindIndex(std::string_view key) const
{
    // A key without the shared beginning can match the header at most; it
    // takes the plain search.
    const bool withPrefixes = key.size() >= shared_ && !prefixes_.empty() &&
                              (shared_ == 0 || std::memcmp(key.data(), sharedText_, shared_) == 0);
    return Search(key, withPrefixes);
}

std::optional<std::uint32_t> MoCatalogue::Search(std::string_view key, bool withPrefixes) const
{
    const std::uint64_t keyPrefix = withPrefixes ? PrefixAt(key.data(), key.size(), shared_) : 0;
    std::uint32_t lo = 0;
    std::uint32_t hi = count_;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        int c = 0;
        if (withPrefixes) {
            const std::uint64_t p = prefixes_[mid];
            c = keyPrefix < p ? -1 : keyPrefix > p ? 1 : 0;
        }
        if (c == 0) {
            const std::size_t d = originals_ + std::size_t{mid} * 8;
            const char* source = reinterpret_cast<const char*>(data_) + Word(d + 4);
            c = CompareWithSource(key, source, Word(d));
        }
        if (c == 0)
            return mid;
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return std::nullopt;
}

} // namespace i18n
