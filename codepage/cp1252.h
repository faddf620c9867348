#pragma once
// The system's 8-bit code page is Windows-1252: the clock writes it, the
// sheet keeps it, and every byte is one character. Decoding and encoding
// live here and only here, with the check of UTF-8 text that comes back.

#include <array>
#include <string>
#include <string_view>

namespace codepage {

namespace detail {
// 0x80..0x9F; the five unassigned bytes keep their C1 code points, as
// Windows itself maps them.
inline constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
} // namespace detail

// The Unicode character of one byte.
constexpr char16_t ToUnicode(unsigned char byte)
{
    return byte >= 0x80 && byte < 0xA0 ? detail::kHigh[byte - 0x80] : char16_t{byte};
}

std::u16string ToUtf16(std::string_view bytes);
std::string ToUtf8(std::string_view bytes);

// The byte of one Unicode character; '?' where the code page has none. The
// C1 code points of the five unassigned bytes come back as those bytes, so
// ToUtf8 and FromUtf8 undo each other.
unsigned char FromUnicode(char32_t c);

// Whether text is well-formed UTF-8: no overlong forms, no UTF-16
// surrogates, nothing past U+10FFFF, no sequence cut short.
bool IsValidUtf8(std::string_view text);

// Valid UTF-8 (IsValidUtf8) back to the code page.
std::string FromUtf8(std::string_view utf8);

} // namespace codepage
