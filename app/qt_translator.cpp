#include "app/qt_translator.h"

#include <QCoreApplication>

#include <exception>

#include "i18n/gettext.h"
#include "serial/errors.h"

namespace app {

QString TResourceStringTranslator::translate(const char* context, const char* sourceText,
                                             const char* disambiguation, int /*n*/) const
{
    if (observer_)
        observer_(context, sourceText, disambiguation);
    // The empty key would answer with the catalogue header.
    if (sourceText == nullptr || *sourceText == '\0')
        return {};
    const std::string text(sourceText);
    std::string result;
    try {
        result = i18n::TranslateResourceString(text);
    } catch (const std::exception&) {
        // Qt cannot carry an exception out of a lookup; its own text stays.
        return {};
    }
    if (result == text)
        return {};
    // Qt's texts use bare line feeds; keep them so.
    if (text.find('\r') == std::string::npos) {
        std::string bare;
        bare.reserve(result.size());
        for (std::size_t i = 0; i < result.size(); ++i)
            if (!(result[i] == '\r' && i + 1 < result.size() && result[i + 1] == '\n'))
                bare += result[i];
        result.swap(bare);
    }
    return QString::fromUtf8(result.data(), static_cast<qsizetype>(result.size()));
}

namespace {

// Main thread only: made at start-up, removed at shutdown.
TResourceStringTranslator* gTranslator = nullptr;

void InstallTranslator()
{
    if (gTranslator != nullptr || !i18n::MessageCataloguesStarted() ||
        QCoreApplication::instance() == nullptr)
        return;
    gTranslator = new TResourceStringTranslator;
    QCoreApplication::installTranslator(gTranslator);
}

} // namespace

} // namespace app

// Runs inside the application object's constructor.
static void InstallCatalogueTranslator()
{
    app::InstallTranslator();
}
Q_COREAPP_STARTUP_FUNCTION(InstallCatalogueTranslator)

namespace app {

std::vector<std::string> InitMessageCatalogues(const std::string& catalogueDirectory)
{
    i18n::StartMessageCatalogues(catalogueDirectory);
    i18n::AddResourceStringDomain("cport");

    std::vector<std::string> errors;
    serial::InitComPortMessages([&errors](const std::string& text) {
        try {
            return i18n::Translate(text);
        } catch (const std::exception& e) {
            errors.emplace_back(e.what());
            return text;
        }
    });
    InstallTranslator();
    return errors;
}

void StopMessageCatalogues()
{
    if (gTranslator != nullptr) {
        if (QCoreApplication::instance() != nullptr)
            QCoreApplication::removeTranslator(gTranslator);
        delete gTranslator;
        gTranslator = nullptr;
    }
    serial::InitComPortMessages(nullptr);
    i18n::StopMessageCatalogues();
}

TResourceStringTranslator* InstalledResourceStringTranslator()
{
    return gTranslator;
}

} // namespace app
