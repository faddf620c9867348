#pragma once
// The clock writes Windows-1252. Every row shown or printed is decoded here,
// and only here.

#include <QString>
#include <string_view>

namespace printout {

QString DecodeClockText(std::string_view bytes);

} // namespace printout
