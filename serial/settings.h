#pragma once
// The port's setting types, their text forms, and the four setting groups.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace serial {

// A small set of enumeration values, bit n for the value of ordinal n.
template <class E>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> items) {
        for (E e : items)
            bits_ |= Bit(e);
    }
    static constexpr TSet FromBits(std::uint32_t bits) {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr std::uint32_t Bits() const { return bits_; }
    constexpr bool Has(E e) const { return (bits_ & Bit(e)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr void Include(E e) { bits_ |= Bit(e); }
    constexpr void Exclude(E e) { bits_ &= ~Bit(e); }
    constexpr TSet& operator|=(TSet o) { bits_ |= o.bits_; return *this; }
    constexpr TSet operator&(TSet o) const { return FromBits(bits_ & o.bits_); }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr std::uint32_t Bit(E e) { return 1u << static_cast<unsigned>(e); }
    std::uint32_t bits_ = 0;
};

enum TBaudRate {
    brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
    br38400, br56000, br57600, br115200, br128000, br256000
};
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };

enum TComEvent {
    evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
using TComEvents = TSet<TComEvent>;
inline constexpr TComEvents kAllComEvents = TComEvents::FromBits(0x03FF);

enum TComErrorKind { ceRxOver, ceOverrun, ceRxParity, ceFrame, ceBreak, ceTxFull, ceIO, ceMode };
using TComErrors = TSet<TComErrorKind>;

enum TLineSignal { lsCTS, lsDSR, lsRing, lsRLSD };
using TLineSignals = TSet<TLineSignal>;

// The Windows event-mask bits the event set converts to and from.
std::uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(std::uint32_t mask);

// Bits per second of a speed value (brCustom has none: 0).
int BaudRateValue(TBaudRate rate);

// Text forms. Text to value compares without regard to case; a text that
// matches nothing gives br9600, sbOneStopBit, dbEight, prNone, fcCustom,
// dtrDisable or rtsDisable. Only "YES" (any case) is true. A byte shows as
// itself from 33 to 127, else as "#" and its decimal value.
std::string BaudRateToStr(TBaudRate v);
std::string StopBitsToStr(TStopBits v);
std::string DataBitsToStr(TDataBits v);
std::string ParityToStr(TParityBits v);
std::string FlowControlToStr(TFlowControl v);
std::string DTRToStr(TDTRFlowControl v);
std::string RTSToStr(TRTSFlowControl v);
std::string BoolToStr(bool v);
std::string CharToStr(std::uint8_t v);
TBaudRate StrToBaudRate(const std::string& s);
TStopBits StrToStopBits(const std::string& s);
TDataBits StrToDataBits(const std::string& s);
TParityBits StrToParity(const std::string& s);
TFlowControl StrToFlowControl(const std::string& s);
TDTRFlowControl StrToDTR(const std::string& s);
TRTSFlowControl StrToRTS(const std::string& s);
bool StrToBool(const std::string& s);
std::uint8_t StrToChar(const std::string& s);

// The toolkit's conversion error: "Cannot assign a %s to a %s".
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An assignable settings object; Assign copies from another of the same class.
class TPersistent {
public:
    virtual ~TPersistent() = default;
    virtual const char* ClassName() const = 0;
    virtual void Assign(const TPersistent* source) = 0;

protected:
    [[noreturn]] void AssignError(const TPersistent* source) const;
};

// Each group holds its values and reports a change through its one callback
// (a port re-applies the group there). A free-standing instance only stores.
using TSettingsChanged = std::function<void()>;

class TComParity final : public TPersistent {
public:
    explicit TComParity(TSettingsChanged changed = {}) : changed_(std::move(changed)) {}
    TComParity(const TComParity& other) : TPersistent() { CopyValues(other); }
    TComParity& operator=(const TComParity& other) { Assign(&other); return *this; }
    const char* ClassName() const override { return "TComParity"; }
    void Assign(const TPersistent* source) override;

    TParityBits Bits() const { return bits_; }
    bool Check() const { return check_; }
    bool Replace() const { return replace_; }
    std::uint8_t ReplaceChar() const { return replaceChar_; }
    void SetBits(TParityBits v);
    void SetCheck(bool v);
    void SetReplace(bool v);
    void SetReplaceChar(std::uint8_t v);

private:
    void CopyValues(const TComParity& o);
    void Changed();
    TSettingsChanged changed_;
    TParityBits bits_ = prNone;
    bool check_ = false;
    bool replace_ = false;
    std::uint8_t replaceChar_ = 0;
};

class TComFlowControl final : public TPersistent {
public:
    explicit TComFlowControl(TSettingsChanged changed = {}) : changed_(std::move(changed)) {}
    TComFlowControl(const TComFlowControl& other) : TPersistent() { CopyValues(other); }
    TComFlowControl& operator=(const TComFlowControl& other) { Assign(&other); return *this; }
    const char* ClassName() const override { return "TComFlowControl"; }
    void Assign(const TPersistent* source) override;

    // The preset is computed, never stored; writing it always re-applies.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

    bool OutCTSFlow() const { return outCTSFlow_; }
    bool OutDSRFlow() const { return outDSRFlow_; }
    TDTRFlowControl ControlDTR() const { return controlDTR_; }
    TRTSFlowControl ControlRTS() const { return controlRTS_; }
    bool XonXoffOut() const { return xonXoffOut_; }
    bool XonXoffIn() const { return xonXoffIn_; }
    bool DSRSensitivity() const { return dsrSensitivity_; }
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    std::uint8_t XonChar() const { return xonChar_; }
    std::uint8_t XoffChar() const { return xoffChar_; }
    void SetOutCTSFlow(bool v);
    void SetOutDSRFlow(bool v);
    void SetControlDTR(TDTRFlowControl v);
    void SetControlRTS(TRTSFlowControl v);
    void SetXonXoffOut(bool v);
    void SetXonXoffIn(bool v);
    void SetDSRSensitivity(bool v);
    void SetTxContinueOnXoff(bool v);
    void SetXonChar(std::uint8_t v);
    void SetXoffChar(std::uint8_t v);

private:
    void CopyValues(const TComFlowControl& o);
    void Changed();
    template <class T> void Set(T& field, T v) {
        if (field == v)
            return;
        field = v;
        Changed();
    }
    TSettingsChanged changed_;
    bool outCTSFlow_ = false;
    bool outDSRFlow_ = false;
    TDTRFlowControl controlDTR_ = dtrDisable;
    TRTSFlowControl controlRTS_ = rtsDisable;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    std::uint8_t xonChar_ = 17;
    std::uint8_t xoffChar_ = 19;
};

class TComTimeouts final : public TPersistent {
public:
    explicit TComTimeouts(TSettingsChanged changed = {}) : changed_(std::move(changed)) {}
    TComTimeouts(const TComTimeouts& other) : TPersistent() { CopyValues(other); }
    TComTimeouts& operator=(const TComTimeouts& other) { Assign(&other); return *this; }
    const char* ClassName() const override { return "TComTimeouts"; }
    void Assign(const TPersistent* source) override;

    std::int32_t ReadInterval() const { return readInterval_; }
    std::int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
    std::int32_t ReadTotalConstant() const { return readTotalConstant_; }
    std::int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
    std::int32_t WriteTotalConstant() const { return writeTotalConstant_; }
    void SetReadInterval(std::int32_t v);
    void SetReadTotalMultiplier(std::int32_t v);
    void SetReadTotalConstant(std::int32_t v);
    void SetWriteTotalMultiplier(std::int32_t v);
    void SetWriteTotalConstant(std::int32_t v);

private:
    void CopyValues(const TComTimeouts& o);
    void Set(std::int32_t& field, std::int32_t v);
    TSettingsChanged changed_;
    std::int32_t readInterval_ = -1;
    std::int32_t readTotalMultiplier_ = 0;
    std::int32_t readTotalConstant_ = 0;
    std::int32_t writeTotalMultiplier_ = 100;
    std::int32_t writeTotalConstant_ = 1000;
};

class TComBuffer final : public TPersistent {
public:
    explicit TComBuffer(TSettingsChanged changed = {}) : changed_(std::move(changed)) {}
    TComBuffer(const TComBuffer& other) : TPersistent() { CopyValues(other); }
    TComBuffer& operator=(const TComBuffer& other) { Assign(&other); return *this; }
    const char* ClassName() const override { return "TComBuffer"; }
    void Assign(const TPersistent* source) override;

    std::int32_t InputSize() const { return inputSize_; }
    std::int32_t OutputSize() const { return outputSize_; }
    // A positive odd size is lowered by one (1025 is kept as 1024).
    void SetInputSize(std::int32_t v);
    void SetOutputSize(std::int32_t v);

private:
    void CopyValues(const TComBuffer& o);
    void Set(std::int32_t& field, std::int32_t v);
    TSettingsChanged changed_;
    std::int32_t inputSize_ = 1024;
    std::int32_t outputSize_ = 1024;
};

} // namespace serial
