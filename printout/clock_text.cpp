#include "clock_text.h"

#include "codepage/cp1252.h"

namespace printout {

QString DecodeClockText(std::string_view bytes)
{
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (unsigned char b : bytes)
        *out++ = QChar(codepage::ToUnicode(b));
    return text;
}

} // namespace printout
