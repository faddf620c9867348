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

TDomain::TDomain(std::string name, std::string directory, std::string language)
    : name_(std::move(name)), directory_(WithDelimiter(std::move(directory))),
      language_(std::move(language))
{
}

TDomain::~TDomain()
{
    CloseLocked();
}

void TDomain::SetDirectory(std::string directory)
{
    std::unique_lock lock(lock_);
    CloseLocked();
    directory_ = WithDelimiter(std::move(directory));
}

void TDomain::SetLanguage(std::string language)
{
    std::unique_lock lock(lock_);
    CloseLocked();
    language_ = std::move(language);
}

void TDomain::CloseCatalogue()
{
    std::unique_lock lock(lock_);
    CloseLocked();
}

void TDomain::CloseLocked()
{
    if (view_ != nullptr)
        ::munmap(view_, viewSize_);
    view_ = nullptr;
    viewSize_ = 0;
    mo_.reset();
    path_.clear();
    open_ = false;
    mayTry_ = true;
}

bool TDomain::IsOpen() const
{
    std::shared_lock lock(lock_);
    return open_;
}

std::string TDomain::CataloguePath() const
{
    std::shared_lock lock(lock_);
    return path_;
}

void TDomain::OpenCatalogue()
{
    std::unique_lock lock(lock_);
    if (open_ || !mayTry_)
        return;

    const std::string tail = "/LC_MESSAGES/" + name_ + ".mo";
    std::string path = directory_ + language_ + tail;
    if (!IsRegularFile(path)) {
        path = directory_ + language_.substr(0, 2) + tail;
        if (!IsRegularFile(path)) {
            mayTry_ = false;
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

    open_ = true;
    path_ = path;
    mo_ = MoCatalogue::Parse(view, view ? size : 0);
    if (mo_) {
        view_ = view;
        viewSize_ = size;
        return;
    }
    // Counts as open with no strings: one error, then the keys.
    if (view != nullptr)
        ::munmap(view, size);
    throw ECatalogue("This file is not a valid GNU gettext mo file: " + path);
}

std::optional<std::string> TDomain::LookUp(std::string_view key)
{
    {
        std::shared_lock lock(lock_);
        if (open_) {
            if (!mo_)
                return std::nullopt;
            auto found = mo_->Find(key);
            return found ? std::optional<std::string>(*found) : std::nullopt;
        }
        if (!mayTry_)
            return std::nullopt;
    }
    OpenCatalogue();
    std::shared_lock lock(lock_);
    if (!open_ || !mo_)
        return std::nullopt;
    auto found = mo_->Find(key);
    return found ? std::optional<std::string>(*found) : std::nullopt;
}

// ------------------------------------------------------ TGnuGettextInstance

TGnuGettextInstance::TGnuGettextInstance(std::string catalogueDirectory)
    : currentDomain_("default"), directory_(std::move(catalogueDirectory))
{
    language_ = ResolveLanguage("");
    domains_.push_back(std::make_unique<TDomain>("default", directory_, language_));
}

TDomain& TGnuGettextInstance::Domain(std::string_view name)
{
    {
        std::shared_lock lock(lock_);
        for (auto& d : domains_)
            if (d->Name() == name)
                return *d;
    }
    std::unique_lock lock(lock_);
    for (auto& d : domains_) // another thread may have made it meanwhile
        if (d->Name() == name)
            return *d;
    domains_.push_back(std::make_unique<TDomain>(std::string(name), directory_, language_));
    return *domains_.back();
}

std::string TGnuGettextInstance::Translate(std::string_view text)
{
    std::string domain;
    {
        std::shared_lock lock(lock_);
        domain = currentDomain_;
    }
    return TranslateWith(Domain(domain), text);
}

std::string TGnuGettextInstance::TranslateInDomain(std::string_view domain, std::string_view text)
{
    return TranslateWith(Domain(domain), text);
}

std::string TGnuGettextInstance::TranslateWith(TDomain& domain, std::string_view text)
{
    std::string key = WithoutCarriageReturns(text);
    std::optional<std::string> found = domain.LookUp(key);
    if (!found)
        return WithCarriageReturns(std::move(key));
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
    std::unique_lock lock(lock_);
    language_ = language;
    for (auto& d : domains_)
        d->SetLanguage(language_);
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
    Domain(domain);
    std::unique_lock lock(lock_);
    currentDomain_ = std::string(domain);
}

std::string TGnuGettextInstance::CurrentDomain() const
{
    std::shared_lock lock(lock_);
    return currentDomain_;
}

std::string TGnuGettextInstance::CatalogueDirectory() const
{
    std::shared_lock lock(lock_);
    return directory_;
}

// ------------------------------------------------------ process-wide state

namespace {

// Guards the translator's existence and the resource-string domain list.
std::shared_mutex gLock;
std::unique_ptr<TGnuGettextInstance> gTranslator;
std::vector<std::string> gResourceDomains;

} // namespace

std::string DefaultCatalogueDirectory()
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "locale";
    std::string exe(buf, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1) + "locale";
}

void StartMessageCatalogues(const std::string& catalogueDirectory)
{
    auto translator = std::make_unique<TGnuGettextInstance>(
        catalogueDirectory.empty() ? DefaultCatalogueDirectory() : catalogueDirectory);
    translator->SetCurrentDomain("default");
    std::unique_lock lock(gLock);
    gResourceDomains = {"default"};
    gTranslator = std::move(translator);
}

void StopMessageCatalogues()
{
    std::unique_ptr<TGnuGettextInstance> old;
    std::unique_lock lock(gLock);
    old = std::move(gTranslator);
    gResourceDomains.clear();
}

bool MessageCataloguesStarted()
{
    std::shared_lock lock(gLock);
    return gTranslator != nullptr;
}

std::string Translate(std::string_view text)
{
    std::shared_lock lock(gLock);
    return gTranslator ? gTranslator->Translate(text) : std::string(text);
}

std::string TranslateInDomain(std::string_view domain, std::string_view text)
{
    std::shared_lock lock(gLock);
    return gTranslator ? gTranslator->TranslateInDomain(domain, text) : std::string(text);
}

std::string TranslateResourceString(std::string_view text)
{
    std::shared_lock lock(gLock);
    if (!gTranslator)
        return std::string(text);
    for (const std::string& domain : gResourceDomains) {
        std::string result = gTranslator->TranslateInDomain(domain, text);
        if (result != text)
            return result;
    }
    return std::string(text);
}

void AddResourceStringDomain(std::string_view domain)
{
    std::unique_lock lock(gLock);
    if (gTranslator)
        gResourceDomains.emplace_back(domain);
}

std::vector<std::string> ResourceStringDomains()
{
    std::shared_lock lock(gLock);
    return gResourceDomains;
}

std::string CurrentLanguage()
{
    std::shared_lock lock(gLock);
    return gTranslator ? gTranslator->CurrentLanguage() : std::string();
}

} // namespace i18n
