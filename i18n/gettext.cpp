#include "i18n/gettext.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>

#include "i18n/language.h"

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

std::string WithCarriageReturns(std::string text)
{
    if (text.find('\n') == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    return out;
}

} // namespace

bool IsValidUtf8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        // Runs of plain ASCII, eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ull)
                break;
            p += 8;
        }
        if (p == end)
            break;
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF.
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        p += extra + 1;
    }
    return true;
}

// ---------------------------------------------------------------- TDomain

struct TDomain::Mapped {
    Mapped(std::string p, void* v, std::size_t s)
        : path(std::move(p)), view(v), size(s), mo(MoCatalogue::Parse(v, v ? s : 0))
    {
    }
    ~Mapped()
    {
        if (view != nullptr)
            ::munmap(view, size);
    }
    Mapped(const Mapped&) = delete;
    Mapped& operator=(const Mapped&) = delete;

    const std::string path;
    void* const view;
    const std::size_t size;
    const std::optional<MoCatalogue> mo;
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

std::string TDomain::CataloguePath() const
{
    std::lock_guard lock(lock_);
    const Mapped* m = open_.load(std::memory_order_acquire);
    return m ? m->path : std::string();
}

void TDomain::OpenCatalogue()
{
    std::lock_guard lock(lock_);
    if (open_.load(std::memory_order_acquire) != nullptr ||
        !mayTry_.load(std::memory_order_acquire))
        return;

    const std::string tail = "/LC_MESSAGES/" + name_ + ".mo";
    std::string path = directory_ + language_ + tail;
    if (!IsRegularFile(path)) {
        path = directory_ + language_.substr(0, 2) + tail;
        if (!IsRegularFile(path)) {
            mayTry_.store(false, std::memory_order_release);
            return;
        }
    }

    // Non-blocking, so that something swapped in for the file after the
    // check above cannot hang the lookup.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw ECatalogue("Cannot open file " + path);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw ECatalogue("Cannot create memory map on file " + path);
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void* view = nullptr;
    // A file too short for a header is rejected below; an empty one cannot
    // be mapped at all.
    if (size >= kMoHeaderSize) {
        view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            throw ECatalogue("Cannot map file " + path + " into memory. Reason: " +
                             std::system_category().message(err));
        }
    }
    ::close(fd); // the mapping keeps the file

    auto mapped = std::make_unique<Mapped>(path, view, size);
    const bool valid = mapped->mo.has_value();
    open_.store(mapped.get(), std::memory_order_release);
    mapped_.push_back(std::move(mapped));
    // An invalid file counts as open with no strings: one error, then keys.
    if (!valid)
        throw ECatalogue("This file is not a valid GNU gettext mo file: " + path);
}

std::optional<std::string> TDomain::LookUp(std::string_view key)
{
    const Mapped* m = open_.load(std::memory_order_acquire);
    if (m == nullptr) {
        if (!mayTry_.load(std::memory_order_acquire))
            return std::nullopt;
        OpenCatalogue();
        m = open_.load(std::memory_order_acquire);
        if (m == nullptr)
            return std::nullopt;
    }
    if (!m->mo)
        return std::nullopt;
    const auto found = m->mo->Find(key);
    return found ? std::optional<std::string>(std::in_place, *found) : std::nullopt;
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
    std::string stripped;
    std::string_view key = text;
    if (text.find('\r') != std::string_view::npos) {
        stripped = WithoutCarriageReturns(text);
        key = stripped;
    }
    std::optional<std::string> found = domain.LookUp(key);
    if (!found)
        return WithCarriageReturns(std::string(key));
    std::string result = WithCarriageReturns(std::move(*found));
    if (!text.empty() && (result.empty() || !IsValidUtf8(result)))
        throw EUntranslatableText("Error: Could not translate " + std::string(text) +
                                  ". Probably because the mo file doesn't contain utf-8 "
                                  "encoded translations.");
    return result;
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

std::string DefaultCatalogueDirectory()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "locale";
    const std::string exe(buf, static_cast<std::size_t>(n));
    const std::string exeDir = exe.substr(0, exe.rfind('/') + 1);
    // A build tree keeps them beside the program; an installed program in
    // <prefix>/bin finds them in <prefix>/share/quillprint.
    struct stat st;
    const std::string beside = exeDir + "locale";
    if (::stat(beside.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return beside;
    const std::string binDir = exeDir.substr(0, exeDir.size() - 1);
    return binDir.substr(0, binDir.rfind('/') + 1) + "share/quillprint/locale";
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

std::string TranslateResourceString(std::string_view text)
{
    std::shared_lock lock(gResourceLock);
    TGnuGettextInstance* t = gTranslator.load(std::memory_order_acquire);
    if (!t)
        return std::string(text);
    for (const std::string& domain : gResourceDomains) {
        std::string result = t->TranslateInDomain(domain, text);
        if (result != text)
            return result;
    }
    return std::string(text);
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
