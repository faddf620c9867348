#include "app/qt_translator.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QStringList>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "i18n/gettext.h"
#include "serial/errors.h"

namespace app {

QString TResourceStringTranslator::translate(const char* context, const char* sourceText,
                                             const char* disambiguation, int n) const
{
    if (observer_)
        observer_(context, sourceText, disambiguation);
    // The empty key would answer with the catalogue header.
    if (sourceText == nullptr || *sourceText == '\0')
        return {};
    std::vector<std::string_view> contexts;
    for (const char* c : {context, disambiguation})
        if (c != nullptr && *c != '\0')
            contexts.emplace_back(c);
    contexts.emplace_back(); // the bare text last
    for (std::string_view c : contexts) {
        std::optional<std::string> result;
        try {
            result = i18n::LookUpResourceString(c, sourceText, n);
        } catch (const std::exception&) {
            // Qt cannot carry an exception out of a lookup; its own text stays.
            return {};
        }
        if (result)
            return QString::fromUtf8(result->data(), static_cast<qsizetype>(result->size()));
    }
    return {};
}

namespace {

// Main thread only: made at start-up, removed at shutdown.
TResourceStringTranslator* gTranslator = nullptr;
QTranslator* gQtTranslator = nullptr;

// The language our catalogues answer in: <dir>/<lang>/LC_MESSAGES/default.mo.
QString CatalogueLanguage()
{
    const std::filesystem::path path = i18n::CataloguePath("default");
    if (path.empty())
        return {};
    return QString::fromStdString(path.parent_path().parent_path().filename().string());
}

// Qt's own translations of its dialogs (file, print, ...) in that language,
// where Qt's translations are installed. Without a catalogue of ours the
// program stays English throughout, Qt's dialogs included.
void InstallQtTranslations()
{
    const QString language = CatalogueLanguage();
    if (language.isEmpty())
        return;
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto translator = std::make_unique<QTranslator>();
    // "qt_xx" gathers Qt's modules; some languages only have "qtbase_xx".
    if (!translator->load(QStringLiteral("qt_") + language, folder) &&
        !translator->load(QStringLiteral("qtbase_") + language, folder))
        return;
    QCoreApplication::installTranslator(translator.get());
    gQtTranslator = translator.release();
}

void InstallTranslator()
{
    if (gTranslator != nullptr || !i18n::MessageCataloguesStarted() ||
        QCoreApplication::instance() == nullptr)
        return;
    // Installed first, so asked last: where both know a text, our
    // catalogues' words win.
    InstallQtTranslations();
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

CatalogueReport InitMessageCatalogues(const std::string& catalogueDirectory)
{
    i18n::StartMessageCatalogues(catalogueDirectory);
    i18n::AddResourceStringDomain("cport");

    CatalogueReport report;
    serial::InitComPortMessages([&report](const std::string& text) {
        try {
            return i18n::Translate(text);
        } catch (const i18n::EUntranslatableText& e) {
            auto& list = report.undecodable;
            auto it = std::find_if(list.begin(), list.end(),
                                   [&e](const auto& entry) { return entry.first == e.Catalogue(); });
            if (it == list.end())
                list.emplace_back(e.Catalogue(), 1);
            else
                ++it->second;
        } catch (const std::exception& e) {
            // An unreadable file is tried again by every text: report it once.
            if (std::find(report.errors.begin(), report.errors.end(), e.what()) ==
                report.errors.end())
                report.errors.emplace_back(e.what());
        }
        return text;
    });
    InstallTranslator();
    return report;
}

QString CatalogueReportText(const CatalogueReport& report)
{
    QStringList lines;
    for (const std::string& error : report.errors)
        lines << QString::fromUtf8(error.c_str());
    for (const auto& [catalogue, count] : report.undecodable)
        lines << QCoreApplication::translate(
                     "Quillprint",
                     "The message catalogue %1 has %n text(s) that are not UTF-8; they are "
                     "shown in English.",
                     nullptr, count)
                     .arg(QString::fromUtf8(catalogue.c_str()));
    return lines.join(QStringLiteral("\n"));
}

void StopMessageCatalogues()
{
    if (gTranslator != nullptr) {
        if (QCoreApplication::instance() != nullptr)
            QCoreApplication::removeTranslator(gTranslator);
        delete gTranslator;
        gTranslator = nullptr;
    }
    if (gQtTranslator != nullptr) {
        if (QCoreApplication::instance() != nullptr)
            QCoreApplication::removeTranslator(gQtTranslator);
        delete gQtTranslator;
        gQtTranslator = nullptr;
    }
    serial::InitComPortMessages(nullptr);
    i18n::StopMessageCatalogues();
}

TResourceStringTranslator* InstalledResourceStringTranslator()
{
    return gTranslator;
}

} // namespace app
