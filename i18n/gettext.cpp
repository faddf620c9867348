#include "i18n/gettext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "i18n/language.h"
#include "i18n/plural.h"

namespace i18n {

namespace {

std::string WithDelimiter(std::string directory)
{
    if (!directory.empty() && directory.back() != '/')
        directory += '/';
    return directory;
}

bool IsRegularFile(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string WithoutCarriageReturns(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r')
            out += c;
    return out;
}

// The whole file, read into memory of our own. Non-blocking, so that
// something swapped in for the file after the search cannot hang the lookup.
std::string ReadCatalogue(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw ECatalogue("Cannot open file " + path);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw ECatalogue("Cannot create memory map on file " + path);
    }
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size())
            bytes.resize(bytes.size() * 2);
        const ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            throw ECatalogue("Cannot map file " + path + " into memory. Reason: " +
                             std::system_category().message(err));
        }
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(have);
    return bytes;
}

// The form-th of a translation's zero-separated forms; the first when it
// has fewer.
std::string_view PluralForm(std::string_view forms, int form)
{
    std::string_view rest = forms;
    for (int i = 0; i < form; ++i) {
        const std::size_t zero = rest.find('\0');
        if (zero == std::string_view::npos)
            return forms.substr(0, forms.find('\0'));
        rest.remove_prefix(zero + 1);
    }
    return rest.substr(0, rest.find('\0'));
}

} // namespace

EUntranslatableText::EUntranslatableText(std::string_view text, std::string catalogue)
    : std::runtime_error("Error: Could not translate " + std::string(text) +
                         ". Probably because the mo file doesn't contain utf-8 encoded "
                         "translations."),
      catalogue_(std::move(catalogue))
{
}

std::string KeyWithContext(std::string_view context, std::string_view text)
{
    std::string key;
    if (!context.empty()) {
        key.reserve(context.size() + 1 + text.size());
        key += context;
        key += '\004';
    }
    key += text;
    return key;
}

// ---------------------------------------------------------------- TDomain

struct TDomain::Catalogue {
    Catalogue(std::string p, std::string b)
        : path(std::move(p)), bytes(std::move(b)), mo(MoCatalogue::Parse(bytes.data(), bytes.size())),
          plural(mo ? PluralRule::FromHeader(mo->Find("").value_or("")) : PluralRule())
    {
    }
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    const std::string path;
    const std::string bytes; // never changed: mo points into it
    const std::optional<MoCatalogue> mo;
    const PluralRule plural;
};

struct TDomain::OpenSet {
    std::vector<std::unique_ptr<const Catalogue>> catalogues;
};

TDomain::TDomain(std::string name, std::string directory, std::string language)
    : name_(std::move(name)), directory_(WithDelimiter(std::move(directory))),
      language_(std::move(language))
{
}

TDomain::~TDomain() = default;

void TDomain::SetDirectory(std::string directory)
{
    std::lock_guard lock(lock_);
    CloseLocked();
    directory_ = WithDelimiter(std::move(directory));
}

void TDomain::SetLanguage(std::string language)
{
    std::lock_guard lock(lock_);
    CloseLocked();
    language_ = std::move(language);
}

void TDomain::CloseCatalogue()
{
    std::lock_guard lock(lock_);
    CloseLocked();
}

void TDomain::CloseLocked()
{
    open_.store(nullptr, std::memory_order_release);
    mayTry_.store(true, std::memory_order_release);
}

bool TDomain::IsOpen() const
{
    return open_.load(std::memory_order_acquire) != nullptr;
}

std::vector<std::string> TDomain::CataloguePaths() const
{
    std::lock_guard lock(lock_);
    std::vector<std::string> paths;
    if (const OpenSet* set = open_.load(std::memory_order_acquire))
        for (const auto& c : set->catalogues)
            paths.push_back(c->path);
    return paths;
}

std::string TDomain::CataloguePath() const
{
    const std::vector<std::string> paths = CataloguePaths();
    return paths.empty() ? std::string() : paths.front();
}

void TDomain::OpenCatalogue()
{
    std::lock_guard lock(lock_);
    if (open_.load(std::memory_order_acquire) != nullptr ||
        !mayTry_.load(std::memory_order_acquire))
        return;

    const std::string tail = "/LC_MESSAGES/" + name_ + ".mo";
    auto set = std::make_unique<OpenSet>();
    for (const std::string& language : CatalogueLanguages(language_)) {
        const std::string path = directory_ + language + tail;
        if (IsRegularFile(path))
            set->catalogues.push_back(std::make_unique<const Catalogue>(path, ReadCatalogue(path)));
    }
    if (set->catalogues.empty()) {
        mayTry_.store(false, std::memory_order_release);
        return;
    }

    const auto invalid = std::find_if(set->catalogues.begin(), set->catalogues.end(),
                                      [](const auto& c) { return !c->mo; });
    const std::string invalidPath = invalid == set->catalogues.end() ? "" : (*invalid)->path;
    open_.store(set.get(), std::memory_order_release);
    opened_.push_back(std::move(set));
    // A file that is not valid counts as open with no strings: one error,
    // then keys (or the other catalogues' texts).
    if (!invalidPath.empty())
        throw ECatalogue("This file is not a valid GNU gettext mo file: " + invalidPath);
}

std::optional<TDomain::Found> TDomain::LookUp(std::string_view key, long count)
{
    const OpenSet* set = open_.load(std::memory_order_acquire);
    if (set == nullptr) {
        if (!mayTry_.load(std::memory_order_acquire))
            return std::nullopt;
        OpenCatalogue();
        set = open_.load(std::memory_order_acquire);
        if (set == nullptr)
            return std::nullopt;
    }
    for (const auto& c : set->catalogues) {
        if (!c->mo)
            continue;
        const auto index = c->mo->FindIndex(key);
        if (!index)
            continue;
        const std::string_view forms = c->mo->TranslationForms(*index);
        const int form = count < 0 ? 0 : c->plural.FormFor(static_cast<unsigned long>(count));
        return Found{PluralForm(forms, form), &c->path};
    }
    return std::nullopt;
}

// ------------------------------------------------------ TGnuGettextInstance

TGnuGettextInstance::TGnuGettextInstance(std::string catalogueDirectory)
    : language_(ResolveLanguage("")), directory_(std::move(catalogueDirectory))
{
    first_ = std::make_unique<Node>(std::make_unique<TDomain>("default", directory_, language_));
    current_.store(first_->domain.get());
}

TGnuGettextInstance::~TGnuGettextInstance()
{
    Node* n = first_->next.load();
    while (n != nullptr) {
        Node* next = n->next.load();
        delete n;
        n = next;
    }
}

TDomain* TGnuGettextInstance::FindDomain(std::string_view name) const
{
    for (const Node* n = first_.get(); n != nullptr; n = n->next.load(std::memory_order_acquire))
        if (n->domain->Name() == name)
            return n->domain.get();
    return nullptr;
}

TDomain& TGnuGettextInstance::Domain(std::string_view name)
{
    if (TDomain* d = FindDomain(name))
        return *d;
    std::lock_guard add(addLock_);
    if (TDomain* d = FindDomain(name)) // another thread may have made it meanwhile
        return *d;
    std::unique_ptr<TDomain> domain;
    {
        std::shared_lock lock(lock_);
        domain = std::make_unique<TDomain>(std::string(name), directory_, language_);
    }
    Node* last = first_.get();
    while (Node* next = last->next.load(std::memory_order_acquire))
        last = next;
    auto* node = new Node(std::move(domain));
    last->next.store(node, std::memory_order_release);
    return *node->domain;
}

std::string TGnuGettextInstance::Translate(std::string_view text)
{
    return TranslateWith(*current_.load(std::memory_order_acquire), text);
}

std::string TGnuGettextInstance::TranslateInDomain(std::string_view domain, std::string_view text)
{
    return TranslateWith(Domain(domain), text);
}

std::string TGnuGettextInstance::TranslateWith(TDomain& domain, std::string_view text)
{
    if (std::optional<std::string> found = LookUpWith(domain, {}, text, -1))
        return std::move(*found);
    return text.find('\r') == std::string_view::npos ? std::string(text)
                                                      : WithoutCarriageReturns(text);
}

std::optional<std::string> TGnuGettextInstance::LookUpInDomain(std::string_view domain,
                                                               std::string_view context,
                                                               std::string_view text, long count)
{
    return LookUpWith(Domain(domain), context, text, count);
}

std::optional<std::string> TGnuGettextInstance::LookUpWith(TDomain& domain,
                                                           std::string_view context,
                                                           std::string_view text, long count)
{
    // Keys and results have bare line feeds, as the catalogues hold them.
    std::string stripped;
    std::string_view bare = text;
    if (text.find('\r') != std::string_view::npos) {
        stripped = WithoutCarriageReturns(text);
        bare = stripped;
    }
    std::string withContext;
    std::string_view key = bare;
    if (!context.empty()) {
        withContext = KeyWithContext(context, bare);
        key = withContext;
    }
    const std::optional<TDomain::Found> found = domain.LookUp(key, count);
    if (!found)
        return std::nullopt;
    if (!text.empty() && (found->text.empty() || !IsValidUtf8(found->text)))
        throw EUntranslatableText(text, *found->catalogue);
    return std::string(found->text);
}

void TGnuGettextInstance::ChooseLanguage(std::string_view code)
{
    const std::string language = ResolveLanguage(code);
    std::lock_guard add(addLock_); // no domain is made with the old language meanwhile
    {
        std::unique_lock lock(lock_);
        language_ = language;
    }
    for (Node* n = first_.get(); n != nullptr; n = n->next.load(std::memory_order_acquire))
        n->domain->SetLanguage(language);
}

std::string TGnuGettextInstance::CurrentLanguage() const
{
    std::shared_lock lock(lock_);
    return language_;
}

void TGnuGettextInstance::SetDomainDirectory(std::string_view domain, std::string_view directory)
{
    Domain(domain).SetDirectory(std::string(directory));
}

void TGnuGettextInstance::SetCurrentDomain(std::string_view domain)
{
    current_.store(&Domain(domain), std::memory_order_release);
}

std::string TGnuGettextInstance::CurrentDomain() const
{
    return current_.load(std::memory_order_acquire)->Name();
}

std::string TGnuGettextInstance::CatalogueDirectory() const
{
    std::shared_lock lock(lock_);
    return directory_;
}

// ------------------------------------------------------ process-wide state

namespace {

// Made and released while only one thread runs; lookups read it lock-free.
std::atomic<TGnuGettextInstance*> gTranslator{nullptr};
// The resource-string domain list and its many-readers/one-writer lock.
std::shared_mutex gResourceLock;
std::vector<std::string> gResourceDomains;

} // namespace

std::string CatalogueDirectoryFor(const std::string& exeDir)
{
    namespace fs = std::filesystem;
    const fs::path dir = exeDir.empty() ? fs::path(".") : fs::path(exeDir);
    const fs::path beside = dir / "locale";
    const fs::path installed = (dir / ".." / "share" / "quillprint" / "locale").lexically_normal();
    std::error_code ec;
    if (!fs::is_directory(beside, ec) && fs::is_directory(installed, ec))
        return installed.string();
    return beside.string();
}

std::string DefaultCatalogueDirectory()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "locale";
    const std::string exe(buf, static_cast<std::size_t>(n));
    return CatalogueDirectoryFor(exe.substr(0, exe.rfind('/')));
}

void StartMessageCatalogues(const std::string& catalogueDirectory)
{
    StopMessageCatalogues();
    auto* translator = new TGnuGettextInstance(
        catalogueDirectory.empty() ? DefaultCatalogueDirectory() : catalogueDirectory);
    std::unique_lock lock(gResourceLock);
    gResourceDomains = {"default"};
    gTranslator.store(translator, std::memory_order_release);
}

void StopMessageCatalogues()
{
    std::unique_lock lock(gResourceLock);
    delete gTranslator.exchange(nullptr, std::memory_order_acq_rel);
    gResourceDomains.clear();
}

bool MessageCataloguesStarted()
{
    return gTranslator.load(std::memory_order_acquire) != nullptr;
}

std::string Translate(std::string_view text)
{
    TGnuGettextInstance* t = gTranslator.load(std::memory_order_acquire);
    return t ? t->Translate(text) : std::string(text);
}

std::string TranslateInDomain(std::string_view domain, std::string_view text)
{
    TGnuGettextInstance* t = gTranslator.load(std::memory_order_acquire);
    return t ? t->TranslateInDomain(domain, text) : std::string(text);
}

std::optional<std::string> LookUpResourceString(std::string_view context, std::string_view text,
                                                long count)
{
    std::shared_lock lock(gResourceLock);
    TGnuGettextInstance* t = gTranslator.load(std::memory_order_acquire);
    if (!t)
        return std::nullopt;
    const std::string bare = text.find('\r') == std::string_view::npos
                                 ? std::string(text)
                                 : WithoutCarriageReturns(text);
    for (const std::string& domain : gResourceDomains) {
        std::optional<std::string> result = t->LookUpInDomain(domain, context, bare, count);
        if (result && *result != bare)
            return result;
    }
    return std::nullopt;
}

std::string TranslateResourceString(std::string_view text)
{
    if (std::optional<std::string> result = LookUpResourceString({}, text))
        return std::move(*result);
    return text.find('\r') == std::string_view::npos ? std::string(text)
                                                      : WithoutCarriageReturns(text);
}

void AddResourceStringDomain(std::string_view domain)
{
    std::unique_lock lock(gResourceLock);
    if (gTranslator.load(std::memory_order_acquire))
        gResourceDomains.emplace_back(domain);
}

std::vector<std::string> ResourceStringDomains()
{
    std::shared_lock lock(gResourceLock);
    return gResourceDomains;
}

std::string CurrentLanguage()
{
    TGnuGettextInstance* t = gTranslator.load(std::memory_order_acquire);
    return t ? t->CurrentLanguage() : std::string();
}

std::string CataloguePath(std::string_view domain)
{
    TGnuGettextInstance* t = gTranslator.load(std::memory_order_acquire);
    return t ? t->Domain(domain).CataloguePath() : std::string();
}

} // namespace i18n
