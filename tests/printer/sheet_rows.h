#pragma once
// Builds a sheet from its rows as the receiver would have written them.

#include <string>
#include <vector>

#include "printout/sheet.h"

namespace testing_support {

// rows[0] must be "@": the sheet always starts with its marker row.
inline void Fill(printout::PrintoutSheet& sheet, const std::vector<std::string>& rows)
{
    sheet.ResetSheet();
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (rows[i] == "@")
            sheet.AppendPageMarker();
        else
            sheet.AppendLine(rows[i]);
    }
}

} // namespace testing_support
