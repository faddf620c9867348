#pragma once
// Message catalogues: translations of library messages from GNU gettext
// .mo files in <catalogue directory>/<language>/LC_MESSAGES/<domain>.mo.
// Texts are UTF-8. Without a catalogue every text comes back unchanged.
//
// Every function here may be called from any thread once the catalogues have
// started; starting and stopping them happen while only one thread runs.

#include <memory>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "i18n/mo_file.h"

namespace i18n {

// A catalogue file that exists but cannot be used.
class ECatalogue : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A translation that is not UTF-8 text.
class EUntranslatableText : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

bool IsValidUtf8(std::string_view text);

// One domain's catalogue, opened at its first lookup and kept mapped.
class TDomain {
public:
    TDomain(std::string name, std::string directory, std::string language);
    ~TDomain();
    TDomain(const TDomain&) = delete;
    TDomain& operator=(const TDomain&) = delete;

    const std::string& Name() const { return name_; }

    // Both close the catalogue and allow a new search for it.
    void SetDirectory(std::string directory);
    void SetLanguage(std::string language);

    // The translation of key, or nullopt when the catalogue has none (or
    // there is no catalogue). May throw ECatalogue when the catalogue is
    // opened by this call.
    std::optional<std::string> LookUp(std::string_view key);

    void OpenCatalogue();
    void CloseCatalogue();

    bool IsOpen() const;
    // The file the open catalogue came from; empty when none is open.
    std::string CataloguePath() const;

private:
    void CloseLocked();

    const std::string name_;
    mutable std::shared_mutex lock_;
    std::string directory_; // ends in "/" unless empty
    std::string language_;
    bool open_ = false;
    bool mayTry_ = true;
    void* view_ = nullptr;
    std::size_t viewSize_ = 0;
    std::optional<MoCatalogue> mo_;
    std::string path_;
};

class TGnuGettextInstance {
public:
    // Chooses the language from the environment and creates the "default"
    // domain in catalogueDirectory.
    explicit TGnuGettextInstance(std::string catalogueDirectory);

    // Lookup in the current domain.
    std::string Translate(std::string_view text);
    // Carriage returns are dropped from the key; the result gets a carriage
    // return before every bare line feed. Throws EUntranslatableText when a
    // translation is found that is not UTF-8 (or is empty for a non-empty
    // text), ECatalogue when opening the catalogue fails.
    std::string TranslateInDomain(std::string_view domain, std::string_view text);

    // An empty code takes "LANG", then the system language; every domain
    // then searches its catalogue again.
    void ChooseLanguage(std::string_view code);
    std::string CurrentLanguage() const;

    void SetDomainDirectory(std::string_view domain, std::string_view directory);
    void SetCurrentDomain(std::string_view domain);
    std::string CurrentDomain() const;
    std::string CatalogueDirectory() const;

    TDomain& Domain(std::string_view name);

private:
    std::string TranslateWith(TDomain& domain, std::string_view text);

    mutable std::shared_mutex lock_; // guards everything below
    std::string language_;
    std::string currentDomain_;
    std::string directory_;
    std::vector<std::unique_ptr<TDomain>> domains_;
};

// The executable's directory + "/locale".
std::string DefaultCatalogueDirectory();

// Creates the process's translator (in catalogueDirectory, or the default
// one when it is empty) and the resource-string domain list {"default"}.
void StartMessageCatalogues(const std::string& catalogueDirectory = {});
// Releases the translator, its catalogues and the domain list.
void StopMessageCatalogues();
bool MessageCataloguesStarted();

// Before the start and after the stop these return text unchanged and
// AddResourceStringDomain does nothing.
std::string Translate(std::string_view text);
std::string TranslateInDomain(std::string_view domain, std::string_view text);
// The first translation that differs from text, over the resource-string
// domains in order; text when none does.
std::string TranslateResourceString(std::string_view text);
void AddResourceStringDomain(std::string_view domain);
std::vector<std::string> ResourceStringDomains();
std::string CurrentLanguage();

} // namespace i18n
