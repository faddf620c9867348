#include "printer/errors.h"

#include <mutex>

namespace printer {
namespace {

std::mutex translatorLock;
std::function<std::string(std::string_view)> translator;

std::string Tr(std::string_view text)
{
    std::lock_guard lock(translatorLock);
    return translator ? translator(text) : std::string(text);
}

std::string OSErrorMessage(int code, std::string_view systemMessage)
{
    if (code == 0)
        return Tr("A call to an OS function failed");
    std::string format = Tr("System Error.  Code: %d.\n%s");
    // Fill the two slots by hand: the format is translatable text, so it is
    // never handed to printf.
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            const char c = format[i + 1];
            if (c == 'd') {
                out += std::to_string(code);
                ++i;
                continue;
            }
            if (c == 's') {
                out += systemMessage;
                ++i;
                continue;
            }
            if (c == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

} // namespace

EPrinter::EPrinter(std::string_view message)
    : std::runtime_error(Tr(message))
{
}

EOSError::EOSError(int code, std::string_view systemMessage)
    : std::runtime_error(OSErrorMessage(code, systemMessage)), code_(code)
{
}

void SetMessageTranslator(std::function<std::string(std::string_view)> translate)
{
    std::lock_guard lock(translatorLock);
    translator = std::move(translate);
}

} // namespace printer
