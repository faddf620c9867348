#pragma once
// Qt's own texts (message box buttons, context menus, ...) go through the
// message catalogues: a QTranslator that asks TranslateResourceString for
// every library string Qt looks up.

#include <QTranslator>

#include <functional>
#include <string>
#include <vector>

namespace app {

class TResourceStringTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;

    // A null string (Qt keeps its own text) unless a catalogue translates
    // sourceText. Never throws: a catalogue error leaves the text as it is.
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

// Start-up, before the application object is made: starts the catalogues
// (language from the environment; catalogueDirectory empty = "locale" beside
// the executable) and fills the serial port's message table through them.
// Qt's texts are routed through the catalogues as soon as the application
// object exists (at once, if it already does).
// Returns the messages of catalogue errors met on the way, for the error box;
// a text whose lookup failed stays English.
std::vector<std::string> InitMessageCatalogues(const std::string& catalogueDirectory = {});

// Shutdown: removes the routing, empties the serial table back to English
// and releases the catalogues.
void StopMessageCatalogues();

// The installed translator (null when none), for tests.
TResourceStringTranslator* InstalledResourceStringTranslator();

} // namespace app
