#pragma once
// Reading a printout file back into sheet rows: each line a row, a line
// holding only a form feed a page marker row. Text saved by other programs
// is taken as it comes: CRLF line ends, Windows-1252 instead of UTF-8, tabs,
// form feeds inside a line.

#include <cstddef>
#include <string>
#include <vector>

namespace printout {

inline constexpr std::size_t kMaxPrintoutBytes = 64u << 20;

struct PrintoutRead {
    enum class Status { Ok, Unreadable, TooLarge, NotText };
    Status status = Status::Ok;
    int error = 0;                 // errno, for Unreadable
    std::vector<std::string> rows; // after row 0, in the sheet's code page
};

PrintoutRead ReadPrintoutFile(const std::string& path, std::size_t maxBytes = kMaxPrintoutBytes);

// The same for bytes already in memory (Status Ok or NotText).
PrintoutRead ParsePrintout(std::string_view bytes);

} // namespace printout
