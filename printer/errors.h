#pragma once
// Printer failures. EPrinter carries one of the printer object's own fixed
// messages; EOSError is a failure the spooler or the system reported, in the
// "System Error.  Code: %d." form.

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace printer {

inline constexpr std::string_view kPrintingInProgress = "Printing in progress";
inline constexpr std::string_view kNotPrinting = "Printer is not currently printing";
inline constexpr std::string_view kPrinterNotValid = "Printer selected is not valid";
inline constexpr std::string_view kIndexOutOfRange = "Printer index out of range";
inline constexpr std::string_view kNoDefaultPrinter = "There is no default printer currently selected";

class EPrinter : public std::runtime_error {
public:
    // message: one of the texts above; it is translated on the way.
    explicit EPrinter(std::string_view message);
};

class EOSError : public std::runtime_error {
public:
    // code 0 means the system gave no code.
    EOSError(int code, std::string_view systemMessage);
    int Code() const { return code_; }

private:
    int code_;
};

// The library messages above are resource strings of the toolkit; start-up
// routes them through the message catalogues by setting this. Until then
// (and after a reset with an empty function) they are used unchanged.
void SetMessageTranslator(std::function<std::string(std::string_view)> translate);

} // namespace printer
