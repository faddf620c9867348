#pragma once
// Catalogue fixtures for the i18n tests: a temporary catalogue tree, .po
// sources compiled with the real msgfmt, and a small .mo writer that can
// write either byte order.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace i18n_test {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "qp-i18n-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }
    std::string Str() const { return path_.string(); }

private:
    fs::path path_;
};

inline void WriteFile(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// <root>/<lang>/LC_MESSAGES/<domain>.mo
inline fs::path CataloguePath(const fs::path& root, const std::string& lang,
                              const std::string& domain)
{
    return root / lang / "LC_MESSAGES" / (domain + ".mo");
}

inline std::string PoQuote(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// A .po source with a UTF-8 header and the given entries.
inline std::string PoSource(const Entries& entries)
{
    std::string po = "msgid \"\"\nmsgstr \"\"\n"
                     "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
                     "\"Language: de\\n\"\n\n";
    for (const auto& [id, str] : entries)
        po += "msgid " + PoQuote(id) + "\nmsgstr " + PoQuote(str) + "\n\n";
    return po;
}

// Compiles a .po source with the real msgfmt into mo.
inline void CompilePoWithMsgfmt(const std::string& source, const fs::path& mo)
{
    fs::create_directories(mo.parent_path());
    const fs::path po = mo.string() + ".po";
    WriteFile(po, source);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(QP_MSGFMT, QP_MSGFMT, "-o", mo.c_str(), po.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        throw std::runtime_error("msgfmt failed for " + po.string());
    fs::remove(po);
}

// Compiles entries with the real msgfmt into mo.
inline void CompileWithMsgfmt(const Entries& entries, const fs::path& mo)
{
    CompilePoWithMsgfmt(PoSource(entries), mo);
}

// Writes a catalogue by hand: sorted source table, translation table, no
// hash table, strings after the tables. swapped = the opposite of this
// machine's byte order.
inline std::string BuildMo(Entries entries, bool swapped)
{
    std::sort(entries.begin(), entries.end());
    auto word = [swapped](std::uint32_t v) {
        if (swapped)
            v = __builtin_bswap32(v);
        return std::string(reinterpret_cast<const char*>(&v), 4);
    };
    const auto n = static_cast<std::uint32_t>(entries.size());
    const std::uint32_t origTable = 28;
    const std::uint32_t transTable = origTable + 8 * n;
    std::uint32_t next = transTable + 8 * n;
    std::string tables, strings;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> orig, trans;
    for (const auto& e : entries) {
        orig.emplace_back(static_cast<std::uint32_t>(e.first.size()), next + strings.size());
        strings += e.first;
        strings += '\0';
    }
    for (const auto& e : entries) {
        trans.emplace_back(static_cast<std::uint32_t>(e.second.size()), next + strings.size());
        strings += e.second;
        strings += '\0';
    }
    std::string mo = word(0x950412DE) + word(0) + word(n) + word(origTable) + word(transTable) +
                     word(0) + word(0);
    for (auto [len, off] : orig)
        mo += word(len) + word(off);
    for (auto [len, off] : trans)
        mo += word(len) + word(off);
    return mo + strings;
}

// Sets an environment variable for one scope and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (had_)
            ::setenv(name_.c_str(), old_.c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// The locale variables that choose the language, all unset but LANG, which
// is set to lang; restored afterwards.
class ScopedLocale {
public:
    explicit ScopedLocale(const char* lang)
        : language_("LANGUAGE", nullptr), all_("LC_ALL", nullptr),
          messages_("LC_MESSAGES", nullptr), lang_("LANG", lang)
    {
    }

private:
    ScopedEnv language_, all_, messages_, lang_;
};

// The 23 serial port error texts and the suffix, in table order.
inline const std::vector<std::string>& SerialTexts()
{
    static const std::vector<std::string> texts = {
        "Unable to open com port",
        "WriteFile function failed",
        "ReadFile function failed",
        "Invalid Async parameter",
        "PurgeComm function failed",
        "Unable to get async status",
        "SetCommState function failed",
        "SetCommTimeouts failed",
        "SetupComm function failed",
        "ClearCommError function failed",
        "GetCommModemStatus function failed",
        "EscapeCommFunction function failed",
        "TransmitCommChar function failed",
        "Cannot set property while connected",
        "EnumPorts function failed",
        "Failed to store settings",
        "Failed to load settings",
        "Link (un)registration failed",
        "Cannot change led state if ComPort is selected",
        "Cannot wait for event if event thread is created",
        "WaitForEvent method failed",
        "A component is linked to OnRxBuf event",
        "Registry error",
    };
    return texts;
}

inline const std::string kSuffix = " (win error code: %d)";

} // namespace i18n_test
