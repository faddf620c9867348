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
    std::uint32_t lo = 0;
    std::uint32_t hi = count_;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        const std::size_t d = originals_ + std::size_t{mid} * 8;
        const char* source = reinterpret_cast<const char*>(data_) + Word(d + 4);
        const int c = CompareWithSource(key, source, Word(d));
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
