#pragma once
// The clock's Windows-1252 text as Qt text, for the sheet's view.

#include <QString>
#include <string_view>

namespace printout {

QString DecodeClockText(std::string_view bytes);

} // namespace printout
