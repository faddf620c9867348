#pragma once
// A sheet row as UTF-8 text, for the printout files and the clipboard. The
// two mark a page end differently, and both are relied on: a printout file
// holds it as a line of its own (so a reader finds rows by lines, and `lp`
// still breaks the page), the clipboard as a bare form feed between lines.

#include <string>

#include "codepage/cp1252.h"
#include "printout/sheet.h"

namespace printout {

enum class PageEnd {
    FormFeedLine,  // "\f\n": a line holding only a form feed
    FormFeed,      // '\f'
};

// Appends the row's text with its line end, or the page end if it is a marker.
inline void AppendRowText(std::string& text, const PrintoutSheet& sheet, int row, PageEnd pageEnd)
{
    if (sheet.IsPageMarker(row))
        text += pageEnd == PageEnd::FormFeedLine ? "\f\n" : "\f";
    else
        text += codepage::ToUtf8(sheet.RowText(row)) + '\n';
}

} // namespace printout
