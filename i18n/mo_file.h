#pragma once
// Read-only view of a GNU gettext machine-object (.mo) file held in memory.
// Everything the lookup touches is checked once when the view is made, so a
// lookup never leaves the buffer, whatever the file holds.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace i18n {

inline constexpr std::uint32_t kMoMagic = 0x950412DE;
inline constexpr std::uint32_t kMoMagicSwapped = 0xDE120495;
inline constexpr std::size_t kMoHeaderSize = 28;

class MoCatalogue {
public:
    // nullopt when the bytes are not a complete, consistent catalogue: wrong
    // magic, a header shorter than 28 bytes, tables or strings outside the
    // buffer, or a string without its terminating zero.
    static std::optional<MoCatalogue> Parse(const void* data, std::size_t size);

    std::uint32_t StringCount() const { return count_; }
    bool Swapped() const { return swapped_; }

    // Binary search over the source texts in byte order. A source text or
    // translation ends at its first zero byte (plural forms follow it).
    std::optional<std::string_view> Find(std::string_view key) const;
    std::optional<std::uint32_t> FindIndex(std::string_view key) const;

    // Every form of a plural entry's translation, zero-separated.
    std::string_view TranslationForms(std::uint32_t index) const;

    std::string_view Original(std::uint32_t index) const { return Entry(originals_, index); }
    std::string_view Translation(std::uint32_t index) const { return Entry(translations_, index); }

private:
    MoCatalogue() = default;
    std::uint32_t Word(std::size_t offset) const;
    std::string_view Entry(std::uint32_t table, std::uint32_t index) const;

    std::optional<std::uint32_t> Search(std::string_view key, bool withPrefixes) const;

    // For the search: the length of the text every source text but a leading
    // "" (the header) begins with, and of each source text the 8 bytes after
    // it, big-endian and zero-padded. Most steps then compare two numbers in
    // one small array instead of two strings scattered over the file.
    std::uint32_t shared_ = 0;
    const char* sharedText_ = nullptr;
    std::vector<std::uint64_t> prefixes_;

    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    bool swapped_ = false;
    std::uint32_t count_ = 0;
    std::uint32_t originals_ = 0;
    std::uint32_t translations_ = 0;
};

} // namespace i18n
