// The built-in printout and turning text files into printouts.

#include <cstdint>
#include <string>

#include "clock_sim.h"
#include "clocklink/frame.h"

namespace clocksim {

const Printout& SamplePrintout()
{
    // A loft clock's arrival list after a race: three pages, Windows-1252,
    // each page's last line carries the form feed.
    static const Printout sample{
        "TAVELIN Corvan K7          Vers. 2.0.4",
        "Druck: 14.06.2026 18:42:05   Uhr 3",
        "----------------------------------------",
        "Reisevereinigung M\xFC" "nsterland-S\xFC" "d",
        "Verein 04711 \"Heimatliebe\" L\xFC" "dinghausen",
        "Z\xFC" "chter: J\xFC" "rgen B\xF6" "hmer",
        "Mitglied: 04711-0815   Schlag 1",
        "Schlagort: N 51\xB0" "46'12,3\" O 07\xB0" "26'41,8\"",
        "Auflassort: W\xFC" "rzburg-Heidingsfeld",
        "Auflass: 14.06.2026 07:15:00",
        "Entfernung: 267.341 m",
        "Uhr gestellt: 13.06.2026 21:04:12",
        "Uhr ge\xF6" "ffnet: 14.06.2026 18:40:51",
        "Abweichung: +2 s (korrigiert)",
        "Gesetzt: 42 Tauben   Preise: 14",
        "----------------------------------------",
        "Nr. Ring-Nr.         G Ankunft    m/min",
        "----------------------------------------",
        "  1 DV-04711-25-0908 M 11:22:08 1081,77",
        "  2 DV-04711-24-0848 M 11:22:12 1081,48",
        "  3 DV-04711-25-0176 M 11:23:27 1076,04",
        "  4 DV-04711-22-0243 M 11:24:14 1072,65",
        "  5 DV-04711-22-0221 M 11:24:18 1072,37",
        "  6 DV-04711-24-1281 W 11:24:33 1071,29",
        "  7 DV-04711-25-0195 M 11:24:33 1071,29",
        "  8 DV-04711-22-0395 M 11:24:55 1069,72",
        "  9 DV-04711-23-1247 M 11:26:28 1063,13",
        " 10 DV-04711-25-0862 M 11:26:32 1062,85",
        " 11 DV-04711-24-1255 M 11:27:47 1057,59",
        " 12 DV-04711-25-1116 W 11:29:20 1051,14",
        " 13 DV-04711-22-1299 W 11:29:51 1049,01",
        " 14 DV-04711-23-0608 M 11:30:22 1046,89",
        "----------------------------------------",
        "\xDC" "bertrag Seite 1: 14 Tauben",
        "Seite 1/3\f",
        "TAVELIN Corvan K7   Seite 2/3",
        "B\xF6" "hmer, J\xFC" "rgen  04711-0815  W\xFC" "rzburg",
        "----------------------------------------",
        "Nr. Ring-Nr.         G Ankunft    m/min",
        "----------------------------------------",
        " 15 DV-04711-25-0267 W 11:32:52 1036,74",
        " 16 DV-04711-22-1892 W 11:34:07 1031,74",
        " 17 DV-04711-22-0689 M 11:36:37 1021,88",
        " 18 DV-04711-22-0437 W 11:36:41 1021,62",
        " 19 DV-04711-22-0963 M 11:36:50 1021,04",
        " 20 DV-04711-24-1665 W 11:38:50 1013,30",
        " 21 DV-04711-23-1317 W 11:39:21 1011,31",
        " 22 DV-04711-22-0240 M 11:40:54 1005,42",
        " 23 DV-04711-22-1527 M 11:41:16 1004,03",
        " 24 DV-04711-23-1425 W 11:41:16 1004,03",
        " 25 DV-04711-22-1916 W 11:41:38 1002,65",
        " 26 DV-04711-22-0827 M 11:41:38 1002,65",
        " 27 DV-04711-24-1111 M 11:43:11  996,86",
        " 28 DV-04711-23-0364 M 11:43:26  995,93",
        " 29 DV-04711-22-1977 W 11:44:13  993,03",
        " 30 DV-04711-25-1019 W 11:44:17  992,79",
        "----------------------------------------",
        "\xDC" "bertrag Seite 2: 30 Tauben",
        "Seite 2/3\f",
        "TAVELIN Corvan K7   Seite 3/3",
        "B\xF6" "hmer, J\xFC" "rgen  04711-0815  W\xFC" "rzburg",
        "----------------------------------------",
        "Nr. Ring-Nr.         G Ankunft    m/min",
        "----------------------------------------",
        " 31 DV-04711-23-1909 M 11:45:32  988,20",
        " 32 DV-04711-23-1546 W 11:46:19  985,35",
        " 33 DV-04711-22-0572 M 11:46:50  983,47",
        " 34 DV-04711-25-0409 M 11:46:54  983,23",
        " 35 DV-04711-25-0124 W 11:48:54  976,05",
        " 36 DV-04711-25-0638 W 11:50:27  970,56",
        "----------------------------------------",
        "Konstatiert: 36 von 42 Tauben",
        "Erste: DV-04711-25-0908  11:22:08",
        "Schnellste: 1081,77 m/min",
        "Letzte: DV-04711-25-0638  11:50:27",
        "Flugdauer Mittel: 04:20:37",
        "",
        "Kontrollnummer: 7C3E-A91F (gepr\xFC" "ft)",
        "",
        "Unterschrift Z\xFC" "chter:",
        "",
        "________________________________",
        "Unterschrift Kontrolleur:",
        "",
        "________________________________",
        "Ende der Liste  \xB7" "  Gut Flug!\f",
    };
    return sample;
}

namespace {

// Windows-1252 0x80..0x9F; 0 where the code page has no character.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

int ToWindows1252(char32_t cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<int>(cp);
    for (int i = 0; i < 32; ++i) {
        if (kHighControls[i] != 0 && kHighControls[i] == cp)
            return 0x80 + i;
    }
    return -1;
}

// Decodes one UTF-8 sequence at text[i]; returns its length, 0 if malformed.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t* cp)
{
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len;
    char32_t value;
    char32_t min;
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, value = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, value = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, value = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (b & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *cp = value;
    return len;
}

constexpr std::size_t kMaxPayload = 255;

} // namespace

ByteString Utf8ToWindows1252(std::string_view text, std::size_t* replaced)
{
    ByteString out;
    out.reserve(text.size());
    std::size_t bad = 0;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const std::size_t len = DecodeUtf8(text, i, &cp);
        const int b = len ? ToWindows1252(cp) : -1;
        if (b < 0) {
            out.push_back('?');
            ++bad;
        } else {
            out.push_back(static_cast<char>(b));
        }
        i += len ? len : 1;
    }
    if (replaced)
        *replaced = bad;
    return out;
}

Printout PrintoutFromText(std::string_view text, bool utf8, std::vector<std::string>* notes)
{
    auto note = [&](std::string s) {
        if (notes)
            notes->push_back(std::move(s));
    };
    ByteString converted;
    if (utf8) {
        if (text.starts_with("\xEF\xBB\xBF"))
            text.remove_prefix(3);
        std::size_t replaced = 0;
        converted = Utf8ToWindows1252(text, &replaced);
        text = converted;
        if (replaced)
            note(std::to_string(replaced) +
                 " characters have no Windows-1252 form and are sent as \"?\"");
    }

    Printout out;
    bool leadingFormFeedDropped = false;
    std::size_t longLines = 0;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++lineNo;
        if (raw.ends_with('\r'))
            raw.remove_suffix(1);

        std::size_t feeds = 0;
        while (feeds < raw.size() && raw[feeds] == '\f')
            ++feeds;
        raw.remove_prefix(feeds);
        if (feeds > 0) {
            if (out.empty()) {
                leadingFormFeedDropped = true;
            } else if (out.back().find('\f') == ByteString::npos) {
                ByteString& prev = out.back();
                if (prev.size() < kMaxPayload) {
                    prev.push_back('\f');
                } else {
                    // No room left in that frame: its last byte moves on
                    // with the page end.
                    ByteString tail(1, prev.back());
                    prev.pop_back();
                    out.push_back(tail + '\f');
                }
            }
            if (raw.empty())
                continue;
        }

        ByteString line;
        for (char c : raw) {
            if (c == '\t')
                line.append(8 - line.size() % 8, ' ');
            else
                line.push_back(c);
        }
        if (line.size() > kMaxPayload)
            ++longLines;
        std::size_t pos = 0;
        do {
            out.push_back(line.substr(pos, kMaxPayload));
            pos += kMaxPayload;
        } while (pos < line.size());
    }
    if (leadingFormFeedDropped)
        note("a form feed before the first line ends no page and is left out");
    if (longLines)
        note(std::to_string(longLines) + " lines are longer than 255 bytes and take several frames");
    return out;
}

std::vector<ByteString> ExpectedRows(const Printout& printout)
{
    std::vector<ByteString> rows;
    for (const ByteString& line : printout) {
        ByteString row;
        bool pageEnd = false;
        for (char c : line) {
            const auto b = static_cast<unsigned char>(c);
            if (b == clocklink::kFormFeed)
                pageEnd = true;
            if (b >= 0x20 && b != clocklink::kDroppedAt)
                row.push_back(c);
        }
        rows.push_back(std::move(row));
        if (pageEnd)
            rows.emplace_back("@");
    }
    return rows;
}

ByteString ProbeReply()
{
    return clocklink::MakeFrame(clocklink::kAnswerStart, 0x01, 0x01, std::string_view("\0\0", 2));
}

FrameKind FrameKindOf(std::size_t lineIndex, bool mix)
{
    using namespace clocklink;
    if (!mix)
        return {kSubCodeU, kCommandLine, true};
    switch (lineIndex % 4) {
    case 1:
        return {kSubCodeT, kCommandLine, true};
    case 3:
        return {kSubCodeU, kCommandQuiet, false};
    default:
        return {kSubCodeU, kCommandLine, true};
    }
}

} // namespace clocksim
