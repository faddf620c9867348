#include "clock_text.h"

#include "codepage/cp1252.h"

namespace printout {

QString DecodeClockText(std::string_view bytes)
{
    return QString::fromStdU16String(codepage::ToUtf16(bytes));
}

} // namespace printout
