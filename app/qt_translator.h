#pragma once
// Qt's own texts (message box buttons, context menus, ...) go through the
// message catalogues: a QTranslator that asks TranslateResourceString for
// every library string Qt looks up.

#include <QString>
#include <QTranslator>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace app {

class TResourceStringTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;

    // A null string (Qt keeps its own text) unless a catalogue translates
    // sourceText. Looks up "context\004text", then "disambiguation\004text",
    // then the bare text; n >= 0 picks a plural form. Never throws: a
    // catalogue error leaves the text as it is.
    QString translate(const char* context, const char* sourceText,
                      const char* disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return false; }

    // Sees every request Qt makes; for finding out which texts Qt asks for.
    // Set it before the translator is installed.
    using Observer = std::function<void(const char* context, const char* sourceText,
                                        const char* disambiguation)>;
    void SetObserver(Observer observer) { observer_ = std::move(observer); }

private:
    Observer observer_;
};

// What went wrong while the catalogues started.
struct CatalogueReport {
    std::vector<std::string> errors; // catalogue errors, each once
    // Catalogues with translations that are not UTF-8, and how many of the
    // start-up's texts stayed English because of them.
    std::vector<std::pair<std::string, int>> undecodable;
    bool Empty() const { return errors.empty() && undecodable.empty(); }
};

// Start-up, before the application object is made: starts the catalogues
// (language from the environment; catalogueDirectory empty = the program's
// catalogue directory) and fills the serial port's message table through
// them. Qt's texts are routed through the catalogues as soon as the
// application object exists (at once, if it already does); below them, Qt's
// own translations for the catalogues' language (its file and print dialogs),
// where Qt's translations folder has them.
// A text whose lookup failed stays English.
CatalogueReport InitMessageCatalogues(const std::string& catalogueDirectory = {});

// The one error box's text for a report (empty when nothing went wrong);
// made once the application object exists, so it is translated itself.
QString CatalogueReportText(const CatalogueReport& report);

// Shutdown: removes the routing, empties the serial table back to English
// and releases the catalogues.
void StopMessageCatalogues();

// The installed translator (null when none), for tests.
TResourceStringTranslator* InstalledResourceStringTranslator();

} // namespace app
