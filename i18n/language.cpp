#include "i18n/language.h"

#include <cstdlib>

namespace i18n {

namespace {

std::string EnvValue(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
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

std::string DetectSystemLanguage()
{
    std::string code = EnvValue("LC_ALL");
    if (code.empty())
        code = EnvValue("LC_MESSAGES");
    code = code.substr(0, code.find_first_of(".@"));
    return code.empty() ? std::string("C") : code;
}

std::string ResolveLanguage(std::string_view code)
{
    std::string lang(code);
    if (lang.empty())
        lang = EnvValue("LANG");
    if (lang.empty())
        lang = DetectSystemLanguage();
    lang = lang.substr(0, lang.find('.'));
    return lang.empty() ? std::string("C") : lang;
}

} // namespace i18n
