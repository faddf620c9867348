#include <gtest/gtest.h>

#include "codepage/cp1252.h"

using std::string_literals::operator""s;

TEST(Codepage, DecodesWindows1252IntoUtf16AndUtf8)
{
    EXPECT_EQ(codepage::ToUtf16("M\xFCller \x80 5"), u"Müller € 5");
    EXPECT_EQ(codepage::ToUtf8("M\xFCller \x80 5 \x9F\x8A\xE4"), "Müller € 5 ŸŠä");
    // Unassigned bytes keep their C1 code points, nothing is lost.
    EXPECT_EQ(codepage::ToUtf16("\x81\x8D\x8F\x90\x9D"), u"\u0081\u008D\u008F\u0090\u009D");
    EXPECT_EQ(codepage::ToUtf8("\x81\xFF"), "\u0081\u00FF");
    EXPECT_EQ(codepage::ToUtf8("a\0b"s), "a\0b"s);
}
