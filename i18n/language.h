#pragma once
// Which language the catalogues are looked up in.

#include <cstdint>
#include <string>
#include <string_view>

namespace i18n {

// The code a Windows locale identifier stands for (1031 -> "de_DE"); "C" for
// any identifier not in the table.
std::string LanguageCodeFromLocaleId(std::uint32_t localeId);

// The user's POSIX locale for messages: LC_ALL, else LC_MESSAGES, cut at "."
// and "@"; "C" when neither is set.
std::string DetectSystemLanguage();

// The language for an explicit code, or, for an empty one, from "LANG" (or
// the system language when that is empty); cut at the first ".".
std::string ResolveLanguage(std::string_view code);

} // namespace i18n
