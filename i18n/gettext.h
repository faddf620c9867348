#pragma once
// Message catalogues: translations of library messages from GNU gettext
// .mo files in <catalogue directory>/<language>/LC_MESSAGES/<domain>.mo.
// Texts are UTF-8. Without a catalogue every text comes back unchanged.
//
// Every function here may be called from any thread once the catalogues have
// started; starting and stopping them happen while only one thread runs.

#include <atomic>
#include <memory>
#include <mutex>
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
// Opening and closing take the domain's lock; lookups take none.
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
    struct Mapped;
    void CloseLocked();

    const std::string name_;
    mutable std::mutex lock_;
    std::string directory_; // ends in "/" unless empty
    std::string language_;
    std::atomic<bool> mayTry_{true};
    // The open catalogue (one without strings if the file was not valid),
    // or null. A closed catalogue stays mapped until the domain goes: a
    // lookup on another thread may still be reading it.
    std::atomic<const Mapped*> open_{nullptr};
    std::vector<std::unique_ptr<Mapped>> mapped_;
};

class TGnuGettextInstance {
public:
    // Chooses the language from the environment and creates the "default"
    // domain in catalogueDirectory.
    explicit TGnuGettextInstance(std::string catalogueDirectory);
    ~TGnuGettextInstance();
    TGnuGettextInstance(const TGnuGettextInstance&) = delete;
    TGnuGettextInstance& operator=(const TGnuGettextInstance&) = delete;

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
    // Domains are only ever added, so lookups find theirs without a lock.
    struct Node {
        explicit Node(std::unique_ptr<TDomain> d) : domain(std::move(d)) {}
        std::unique_ptr<TDomain> domain;
        std::atomic<Node*> next{nullptr};
    };

    std::string TranslateWith(TDomain& domain, std::string_view text);
    TDomain* FindDomain(std::string_view name) const;

    std::mutex addLock_;             // serialises adding domains
    mutable std::shared_mutex lock_; // guards language_ and directory_
    std::string language_;
    std::string directory_;
    std::unique_ptr<Node> first_;    // "default", made by the constructor
    std::atomic<TDomain*> current_{nullptr};
};

// The executable's directory + "/locale" when that exists, else
// <executable's directory>/../share/quillprint/locale.
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
// The file the domain's open catalogue came from; empty when none is open.
std::string CataloguePath(std::string_view domain);

} // namespace i18n
