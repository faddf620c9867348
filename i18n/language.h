#pragma once
// Which language the catalogues are looked up in.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace i18n {

// The code a Windows locale identifier stands for (1031 -> "de_DE"); "C" for
// any identifier not in the table.
std::string LanguageCodeFromLocaleId(std::uint32_t localeId);

// A locale name without its codeset: "sr_RS.UTF-8@latin" -> "sr_RS@latin".
std::string WithoutCodeset(std::string_view locale);

// The user's locale for messages: the first of LC_ALL, LC_MESSAGES and LANG
// that is set and not empty, without its codeset; "C" when none is.
std::string DetectSystemLanguage();

// The languages to look texts up in, as a colon-separated list. An explicit
// code is used as it is (without codesets); an empty one takes "LANGUAGE",
// a list tried in turn (ignored while the locale is "C" or "POSIX"), else
// DetectSystemLanguage().
std::string ResolveLanguage(std::string_view code);

// The catalogue names to try for a language list, in order: every entry
// ll_CC@variant falls back to ll@variant, ll_CC, ll. A "C" or "POSIX" entry
// ends the list (those texts stay as written). Without duplicates.
std::vector<std::string> CatalogueLanguages(std::string_view languages);

} // namespace i18n
