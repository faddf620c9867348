#pragma once
// A sheet row as UTF-8 text, as the printout files and the clipboard have it.

#include <string>

#include "codepage/cp1252.h"
#include "printout/sheet.h"

namespace printout {

// A page end, both relied on: a printout file gives it a line of its own, so
// its rows are its lines; the clipboard puts a bare form feed between lines.
enum class PageEnd {
    FormFeedLine, // "\f\n"
    FormFeed,     // "\f"
};

// The row's text and line end, or the page end for a marker row.
inline void AppendRowText(std::string& text, const PrintoutSheet& sheet, int row, PageEnd pageEnd)
{
    if (sheet.IsPageMarker(row))
        text += pageEnd == PageEnd::FormFeedLine ? "\f\n" : "\f";
    else
        text += codepage::ToUtf8(sheet.RowText(row)) + '\n';
}

} // namespace printout
