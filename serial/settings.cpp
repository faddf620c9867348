#include "serial/settings.h"

#include <array>
#include <strings.h>

namespace serial {

namespace {

// Platform bit of each event, in ordinal order.
constexpr std::array<std::uint32_t, 10> kEventBits = {
    0x0001, 0x0004, 0x0002, 0x0100, 0x0040, 0x0008, 0x0010, 0x0080, 0x0020, 0x0400};

const std::array<const char*, 16> kBaudTexts = {
    "Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
    "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<int, 16> kBaudValues = {
    0, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200,
    38400, 56000, 57600, 115200, 128000, 256000};
const std::array<const char*, 3> kStopTexts = {"1", "1.5", "2"};
const std::array<const char*, 4> kDataTexts = {"5", "6", "7", "8"};
const std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
const std::array<const char*, 4> kFlowTexts = {"Hardware", "Software", "None", "Custom"};
const std::array<const char*, 3> kDTRTexts = {"Disable", "Enable", "Handshake"};
const std::array<const char*, 4> kRTSTexts = {"Disable", "Enable", "Handshake", "Toggle"};

template <class E, std::size_t N>
E FromText(const std::array<const char*, N>& texts, const std::string& s, E fallback) {
    for (std::size_t i = 0; i < N; ++i)
        if (::strcasecmp(texts[i], s.c_str()) == 0 && s.size() == std::char_traits<char>::length(texts[i]))
            return static_cast<E>(i);
    return fallback;
}

template <std::size_t N>
std::string ToText(const std::array<const char*, N>& texts, int v) {
    return v >= 0 && static_cast<std::size_t>(v) < N ? texts[v] : "";
}

} // namespace

std::uint32_t EventsToMask(TComEvents events) {
    std::uint32_t mask = 0;
    for (unsigned i = 0; i < kEventBits.size(); ++i)
        if (events.Has(static_cast<TComEvent>(i)))
            mask |= kEventBits[i];
    return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
    TComEvents events;
    for (unsigned i = 0; i < kEventBits.size(); ++i)
        if (mask & kEventBits[i])
            events.Include(static_cast<TComEvent>(i));
    return events;
}

int BaudRateValue(TBaudRate rate) {
    return rate >= brCustom && rate <= br256000 ? kBaudValues[rate] : 0;
}

std::string BaudRateToStr(TBaudRate v) { return ToText(kBaudTexts, v); }
std::string StopBitsToStr(TStopBits v) { return ToText(kStopTexts, v); }
std::string DataBitsToStr(TDataBits v) { return ToText(kDataTexts, v); }
std::string ParityToStr(TParityBits v) { return ToText(kParityTexts, v); }
std::string FlowControlToStr(TFlowControl v) { return ToText(kFlowTexts, v); }
std::string DTRToStr(TDTRFlowControl v) { return ToText(kDTRTexts, v); }
std::string RTSToStr(TRTSFlowControl v) { return ToText(kRTSTexts, v); }
std::string BoolToStr(bool v) { return v ? "Yes" : "No"; }

std::string CharToStr(std::uint8_t v) {
    if (v >= 33 && v <= 127)
        return std::string(1, static_cast<char>(v));
    return "#" + std::to_string(v);
}

TBaudRate StrToBaudRate(const std::string& s) { return FromText(kBaudTexts, s, br9600); }
TStopBits StrToStopBits(const std::string& s) { return FromText(kStopTexts, s, sbOneStopBit); }
TDataBits StrToDataBits(const std::string& s) { return FromText(kDataTexts, s, dbEight); }
TParityBits StrToParity(const std::string& s) { return FromText(kParityTexts, s, prNone); }
TFlowControl StrToFlowControl(const std::string& s) { return FromText(kFlowTexts, s, fcCustom); }
TDTRFlowControl StrToDTR(const std::string& s) { return FromText(kDTRTexts, s, dtrDisable); }
TRTSFlowControl StrToRTS(const std::string& s) { return FromText(kRTSTexts, s, rtsDisable); }
bool StrToBool(const std::string& s) { return ::strcasecmp(s.c_str(), "YES") == 0 && s.size() == 3; }

std::uint8_t StrToChar(const std::string& s) {
    if (s.empty())
        return 0;
    if (s[0] == '#' && s.size() > 1) {
        // Digits only; anything else is no number.
        long value = 0;
        for (std::size_t i = 1; i < s.size(); ++i) {
            if (s[i] < '0' || s[i] > '9')
                return 0;
            value = (value * 10 + (s[i] - '0')) & 0xFFFFFF;
        }
        return static_cast<std::uint8_t>(value & 0xFF);
    }
    return static_cast<std::uint8_t>(s[0]);
}

void TPersistent::AssignError(const TPersistent* source) const {
    throw EConvertError(std::string("Cannot assign a ") + (source ? source->ClassName() : "nil") +
                        " to a " + ClassName());
}

// --- TComFlowControl ----------------------------------------------------

TFlowControl TComFlowControl::FlowControl() const {
    if (v_.controlRTS == rtsHandshake && v_.outCTSFlow && !v_.xonXoffIn && !v_.xonXoffOut)
        return fcHardware;
    if (v_.controlRTS == rtsDisable && !v_.outCTSFlow && v_.xonXoffIn && v_.xonXoffOut)
        return fcSoftware;
    if (v_.controlRTS == rtsDisable && !v_.outCTSFlow && !v_.xonXoffIn && !v_.xonXoffOut)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
    if (v != fcCustom) {
        v_.controlRTS = rtsDisable;
        v_.outCTSFlow = false;
        v_.xonXoffIn = false;
        v_.xonXoffOut = false;
        if (v == fcHardware) {
            v_.controlRTS = rtsHandshake;
            v_.outCTSFlow = true;
        } else if (v == fcSoftware) {
            v_.xonXoffIn = true;
            v_.xonXoffOut = true;
        }
    }
    Changed();
}

} // namespace serial
