#include "serial/settings.h"

#include <array>
#include <cstdlib>
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

// --- TComParity ---------------------------------------------------------

void TComParity::CopyValues(const TComParity& o) {
    bits_ = o.bits_;
    check_ = o.check_;
    replace_ = o.replace_;
    replaceChar_ = o.replaceChar_;
}

void TComParity::Assign(const TPersistent* source) {
    const auto* src = dynamic_cast<const TComParity*>(source);
    if (!src)
        AssignError(source);
    CopyValues(*src);
    Changed();
}

void TComParity::Changed() {
    if (changed_)
        changed_();
}

void TComParity::SetBits(TParityBits v) {
    if (bits_ == v) return;
    bits_ = v;
    Changed();
}
void TComParity::SetCheck(bool v) {
    if (check_ == v) return;
    check_ = v;
    Changed();
}
void TComParity::SetReplace(bool v) {
    if (replace_ == v) return;
    replace_ = v;
    Changed();
}
void TComParity::SetReplaceChar(std::uint8_t v) {
    if (replaceChar_ == v) return;
    replaceChar_ = v;
    Changed();
}

// --- TComFlowControl ----------------------------------------------------

void TComFlowControl::CopyValues(const TComFlowControl& o) {
    outCTSFlow_ = o.outCTSFlow_;
    outDSRFlow_ = o.outDSRFlow_;
    controlDTR_ = o.controlDTR_;
    controlRTS_ = o.controlRTS_;
    xonXoffOut_ = o.xonXoffOut_;
    xonXoffIn_ = o.xonXoffIn_;
    dsrSensitivity_ = o.dsrSensitivity_;
    txContinueOnXoff_ = o.txContinueOnXoff_;
    xonChar_ = o.xonChar_;
    xoffChar_ = o.xoffChar_;
}

void TComFlowControl::Assign(const TPersistent* source) {
    const auto* src = dynamic_cast<const TComFlowControl*>(source);
    if (!src)
        AssignError(source);
    CopyValues(*src);
    Changed();
}

void TComFlowControl::Changed() {
    if (changed_)
        changed_();
}

TFlowControl TComFlowControl::FlowControl() const {
    if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_)
        return fcHardware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_)
        return fcSoftware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
    if (v != fcCustom) {
        controlRTS_ = rtsDisable;
        outCTSFlow_ = false;
        xonXoffIn_ = false;
        xonXoffOut_ = false;
        if (v == fcHardware) {
            controlRTS_ = rtsHandshake;
            outCTSFlow_ = true;
        } else if (v == fcSoftware) {
            xonXoffIn_ = true;
            xonXoffOut_ = true;
        }
    }
    Changed();
}

void TComFlowControl::SetOutCTSFlow(bool v) { Set(outCTSFlow_, v); }
void TComFlowControl::SetOutDSRFlow(bool v) { Set(outDSRFlow_, v); }
void TComFlowControl::SetControlDTR(TDTRFlowControl v) { Set(controlDTR_, v); }
void TComFlowControl::SetControlRTS(TRTSFlowControl v) { Set(controlRTS_, v); }
void TComFlowControl::SetXonXoffOut(bool v) { Set(xonXoffOut_, v); }
void TComFlowControl::SetXonXoffIn(bool v) { Set(xonXoffIn_, v); }
void TComFlowControl::SetDSRSensitivity(bool v) { Set(dsrSensitivity_, v); }
void TComFlowControl::SetTxContinueOnXoff(bool v) { Set(txContinueOnXoff_, v); }
void TComFlowControl::SetXonChar(std::uint8_t v) { Set(xonChar_, v); }
void TComFlowControl::SetXoffChar(std::uint8_t v) { Set(xoffChar_, v); }

// --- TComTimeouts -------------------------------------------------------

void TComTimeouts::CopyValues(const TComTimeouts& o) {
    readInterval_ = o.readInterval_;
    readTotalMultiplier_ = o.readTotalMultiplier_;
    readTotalConstant_ = o.readTotalConstant_;
    writeTotalMultiplier_ = o.writeTotalMultiplier_;
    writeTotalConstant_ = o.writeTotalConstant_;
}

void TComTimeouts::Assign(const TPersistent* source) {
    const auto* src = dynamic_cast<const TComTimeouts*>(source);
    if (!src)
        AssignError(source);
    CopyValues(*src);
    if (changed_)
        changed_();
}

void TComTimeouts::Set(std::int32_t& field, std::int32_t v) {
    if (field == v)
        return;
    field = v;
    if (changed_)
        changed_();
}

void TComTimeouts::SetReadInterval(std::int32_t v) { Set(readInterval_, v); }
void TComTimeouts::SetReadTotalMultiplier(std::int32_t v) { Set(readTotalMultiplier_, v); }
void TComTimeouts::SetReadTotalConstant(std::int32_t v) { Set(readTotalConstant_, v); }
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t v) { Set(writeTotalMultiplier_, v); }
void TComTimeouts::SetWriteTotalConstant(std::int32_t v) { Set(writeTotalConstant_, v); }

// --- TComBuffer ---------------------------------------------------------

void TComBuffer::CopyValues(const TComBuffer& o) {
    inputSize_ = o.inputSize_;
    outputSize_ = o.outputSize_;
}

void TComBuffer::Assign(const TPersistent* source) {
    const auto* src = dynamic_cast<const TComBuffer*>(source);
    if (!src)
        AssignError(source);
    CopyValues(*src);
    if (changed_)
        changed_();
}

void TComBuffer::Set(std::int32_t& field, std::int32_t v) {
    if (field == v)
        return;
    field = (v > 0 && (v & 1)) ? v - 1 : v;
    if (changed_)
        changed_();
}

void TComBuffer::SetInputSize(std::int32_t v) { Set(inputSize_, v); }
void TComBuffer::SetOutputSize(std::int32_t v) { Set(outputSize_, v); }

} // namespace serial
