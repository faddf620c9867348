#include "printout/printout_reader.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "codepage/cp1252.h"

namespace printout {
namespace {

// What the sheet can show: tabs as spaces, no other control bytes, and no
// line that would pass for a page marker.
std::string Cleaned(std::string_view piece)
{
    std::string row;
    row.reserve(piece.size());
    for (const char ch : piece) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == '\t')
            row += ' ';
        else if (b >= 0x20)
            row += ch;
    }
    if (row == "@")
        row.clear();
    return row;
}

} // namespace

PrintoutRead ParsePrintout(std::string_view bytes)
{
    PrintoutRead result;
    std::size_t controls = 0;
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == 0) {
            result.status = PrintoutRead::Status::NotText;
            return result;
        }
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f')
            ++controls;
    }
    if (controls * 100 > bytes.size()) {
        result.status = PrintoutRead::Status::NotText;
        return result;
    }
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    const bool utf8 = codepage::IsValidUtf8(bytes);
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::string text = utf8 ? codepage::FromUtf8(line) : std::string(line);
        // A form feed ends a page; text around it stays on its side.
        std::string_view rest = text;
        for (;;) {
            const std::size_t ff = rest.find('\f');
            const std::string_view piece = rest.substr(0, ff);
            if (ff == std::string_view::npos || !piece.empty())
                result.rows.push_back(Cleaned(piece));
            if (ff == std::string_view::npos)
                break;
            result.rows.emplace_back(std::string(1, '@'));
            rest.remove_prefix(ff + 1);
            if (rest.empty())
                break;
        }
    }
    return result;
}

PrintoutRead ReadPrintoutFile(const std::string& path, std::size_t maxBytes)
{
    PrintoutRead result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        result.status = PrintoutRead::Status::Unreadable;
        result.error = errno;
        if (fd >= 0)
            ::close(fd);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        result.status = PrintoutRead::Status::NotText;
        return result;
    }
    if (static_cast<std::size_t>(st.st_size) > maxBytes) {
        ::close(fd);
        result.status = PrintoutRead::Status::TooLarge;
        return result;
    }
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.status = PrintoutRead::Status::Unreadable;
            result.error = errno;
            ::close(fd);
            return result;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    return ParsePrintout(bytes);
}

} // namespace printout
