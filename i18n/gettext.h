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

#include "codepage/cp1252.h"
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
    EUntranslatableText(std::string_view text, std::string catalogue);
    // The catalogue file the translation came from.
    const std::string& Catalogue() const { return catalogue_; }

private:
    std::string catalogue_;
};

// Catalogue texts are checked with the code page's UTF-8 test.
using codepage::IsValidUtf8;

// The key of a text with a message context, as catalogue compilers store
// it: "context\004text"; the bare text for an empty context.
std::string KeyWithContext(std::string_view context, std::string_view text);

// One domain's catalogues, opened at its first lookup. For a language list
// such as "de_CH:fr" they are de_CH, de, fr: a text missing in one is
// looked up in the next. Each file is read whole into the program's own
// memory and checked once, so nothing done to it on disk later can reach a
// lookup. Opening and closing take the domain's lock; lookups take none.
class TDomain {
public:
    TDomain(std::string name, std::string directory, std::string language);
    ~TDomain();
    TDomain(const TDomain&) = delete;
    TDomain& operator=(const TDomain&) = delete;

    const std::string& Name() const { return name_; }

    // Both close the catalogues and allow a new search for them.
    void SetDirectory(std::string directory);
    void SetLanguage(std::string language);

    struct Found {
        std::string_view text;        // valid while the domain lives
        const std::string* catalogue; // the file it came from
    };
    // The translation of key (a bare text or KeyWithContext), or nullopt
    // when no catalogue has it. count >= 0 picks the plural form by the
    // answering catalogue's rule; otherwise the first form. May throw
    // ECatalogue when the catalogues are opened by this call.
    std::optional<Found> LookUp(std::string_view key, long count = -1);

    void OpenCatalogue();
    void CloseCatalogue();

    bool IsOpen() const;
    // The files the open catalogues came from, most specific first; empty
    // when none is open.
    std::vector<std::string> CataloguePaths() const;
    std::string CataloguePath() const; // the first of them, or empty

private:
    struct Catalogue;
    struct OpenSet;
    void CloseLocked();

    const std::string name_;
    mutable std::mutex lock_;
    std::string directory_; // ends in "/" unless empty
    std::string language_;
    std::atomic<bool> mayTry_{true};
    // The open catalogues (a file that was not valid counts, without
    // strings), or null. A closed set stays in memory until the domain goes:
    // a lookup on another thread may still be reading it.
    std::atomic<const OpenSet*> open_{nullptr};
    std::vector<std::unique_ptr<OpenSet>> opened_;
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
    // Carriage returns are dropped from the key; translation and untranslated
    // text alike come back with the key's bare line feeds. Throws
    // EUntranslatableText when a translation is found that is not UTF-8 (or
    // is empty for a non-empty text), ECatalogue when opening the catalogue
    // fails.
    std::string TranslateInDomain(std::string_view domain, std::string_view text);
    // The same with a message context (empty: none) and a count (< 0: none);
    // nullopt when no catalogue translates the text.
    std::optional<std::string> LookUpInDomain(std::string_view domain, std::string_view context,
                                              std::string_view text, long count = -1);

    // An empty code takes the user's languages (see ResolveLanguage); every
    // domain then searches its catalogues again.
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
    std::optional<std::string> LookUpWith(TDomain& domain, std::string_view context,
                                          std::string_view text, long count);
    TDomain* FindDomain(std::string_view name) const;

    std::mutex addLock_;             // serialises adding domains
    mutable std::shared_mutex lock_; // guards language_ and directory_
    std::string language_;
    std::string directory_;
    std::unique_ptr<Node> first_;    // "default", made by the constructor
    std::atomic<TDomain*> current_{nullptr};
};

// Where the catalogues of a program in exeDir are: exeDir/locale when that
// is a directory, else exeDir/../share/quillprint/locale when that is one
// (the installed layout), else exeDir/locale.
std::string CatalogueDirectoryFor(const std::string& exeDir);
// The same for this executable's directory.
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
// domains in order; text (with bare line feeds) when none does.
std::string TranslateResourceString(std::string_view text);
// The same with a message context and a count (see LookUpInDomain); nullopt
// when no domain's translation differs from text.
std::optional<std::string> LookUpResourceString(std::string_view context, std::string_view text,
                                                long count = -1);
void AddResourceStringDomain(std::string_view domain);
std::vector<std::string> ResourceStringDomains();
std::string CurrentLanguage();

// The file the domain's first catalogue came from; empty when it has none
// open (or the catalogues have not started).
std::string CataloguePath(std::string_view domain);

} // namespace i18n
