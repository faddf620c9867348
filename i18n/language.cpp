#include "i18n/language.h"

#include <algorithm>
#include <cstdlib>

namespace i18n {

namespace {

std::string EnvValue(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

bool IsPlainC(std::string_view locale)
{
    return locale == "C" || locale == "POSIX";
}

// A colon-separated list without codesets and without empty entries.
std::string CleanList(std::string_view list)
{
    std::string out;
    while (!list.empty()) {
        const std::size_t colon = std::min(list.find(':'), list.size());
        const std::string entry = WithoutCodeset(list.substr(0, colon));
        if (!entry.empty()) {
            if (!out.empty())
                out += ':';
            out += entry;
        }
        list.remove_prefix(std::min(colon + 1, list.size()));
    }
    return out;
}

} // namespace

std::string LanguageCodeFromLocaleId(std::uint32_t localeId)
{
    switch (localeId) {
    case 1030: return "da_DK";
    case 1031: return "de_DE";
    case 1032: return "gr_GR";
    case 1033: return "en_US";
    case 1034:
    case 3082: return "es_ES";
    case 1035: return "fi_FI";
    case 1036: return "fr_FR";
    case 1039: return "is_IS";
    case 1040: return "it_IT";
    case 1042: return "ko_KO";
    case 1043: return "nl_NL";
    case 1044: return "no_NO";
    case 1045: return "pl_PL";
    case 1046: return "pt_BR";
    case 1049: return "ru_RU";
    case 1053: return "sv_SE";
    case 2057: return "en_UK";
    case 2060: return "fr_BE";
    case 2067: return "nl_BE";
    case 2068: return "nn_NO";
    case 2070: return "pt_PT";
    case 2077: return "fi_SE";
    case 3084: return "fr_CA";
    case 4103: return "de_LU";
    default: return "C";
    }
}

std::string WithoutCodeset(std::string_view locale)
{
    const std::size_t dot = locale.find('.');
    if (dot == std::string_view::npos)
        return std::string(locale);
    const std::size_t at = locale.find('@', dot);
    std::string out(locale.substr(0, dot));
    if (at != std::string_view::npos)
        out += locale.substr(at);
    return out;
}

namespace {

// The locale for messages as the environment names it; empty when unset.
std::string MessagesLocale()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value = EnvValue(name);
        if (!value.empty())
            return value;
    }
    return {};
}

} // namespace

std::string DetectSystemLanguage()
{
    const std::string code = WithoutCodeset(MessagesLocale());
    return code.empty() ? std::string("C") : code;
}

std::string ResolveLanguage(std::string_view code)
{
    if (!code.empty()) {
        const std::string list = CleanList(code);
        return list.empty() ? std::string("C") : list;
    }
    // As glibc: LANGUAGE is ignored in the plain C locale (unset, "C" or
    // "POSIX"), not in C.UTF-8.
    const std::string locale = MessagesLocale();
    if (!locale.empty() && !IsPlainC(locale)) {
        const std::string list = CleanList(EnvValue("LANGUAGE"));
        if (!list.empty())
            return list;
    }
    return DetectSystemLanguage();
}

std::vector<std::string> CatalogueLanguages(std::string_view languages)
{
    std::vector<std::string> out;
    auto add = [&out](std::string name) {
        if (!name.empty() && std::find(out.begin(), out.end(), name) == out.end())
            out.push_back(std::move(name));
    };
    const std::string list = CleanList(languages);
    std::string_view rest = list;
    while (!rest.empty()) {
        const std::size_t colon = std::min(rest.find(':'), rest.size());
        const std::string_view entry = rest.substr(0, colon);
        rest.remove_prefix(std::min(colon + 1, rest.size()));
        if (IsPlainC(entry))
            break;
        if (entry.find('/') != std::string_view::npos)
            continue; // a name, never a path
        // ll_CC@variant: the language ends at the first "_" or "@".
        const std::size_t at = entry.find('@');
        const std::string_view variant =
            at == std::string_view::npos ? std::string_view() : entry.substr(at);
        const std::string_view base = entry.substr(0, at == std::string_view::npos ? entry.size() : at);
        const std::string_view lang = base.substr(0, base.find('_'));
        if (!variant.empty()) {
            add(std::string(base) + std::string(variant));
            add(std::string(lang) + std::string(variant));
        }
        add(std::string(base));
        add(std::string(lang));
    }
    return out;
}

} // namespace i18n
