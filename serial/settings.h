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
// (a port re-applies the group there). A free-standing instance only stores;
// a copy stores the values without the callback.
using TSettingsChanged = std::function<void()>;

template <class Group>
class TSettingsGroup : public TPersistent {
public:
    void Assign(const TPersistent* source) override {
        const auto* src = dynamic_cast<const Group*>(source);
        if (!src)
            AssignError(source);
        static_cast<Group&>(*this).v_ = src->v_;
        Changed();
    }

protected:
    explicit TSettingsGroup(TSettingsChanged changed) : changed_(std::move(changed)) {}
    TSettingsGroup(const TSettingsGroup&) : TPersistent() {}
    void Changed() const {
        if (changed_)
            changed_();
    }
    template <class T> void Set(T& field, T v) {
        if (field == v)
            return;
        field = v;
        Changed();
    }

private:
    TSettingsChanged changed_;
};

class TComParity final : public TSettingsGroup<TComParity> {
public:
    explicit TComParity(TSettingsChanged changed = {}) : TSettingsGroup(std::move(changed)) {}
    TComParity(const TComParity&) = default;
    TComParity& operator=(const TComParity& other) { Assign(&other); return *this; }
    const char* ClassName() const override { return "TComParity"; }

    TParityBits Bits() const { return v_.bits; }
    bool Check() const { return v_.check; }
    bool Replace() const { return v_.replace; }
    std::uint8_t ReplaceChar() const { return v_.replaceChar; }
    void SetBits(TParityBits v) { Set(v_.bits, v); }
    void SetCheck(bool v) { Set(v_.check, v); }
    void SetReplace(bool v) { Set(v_.replace, v); }
    void SetReplaceChar(std::uint8_t v) { Set(v_.replaceChar, v); }

private:
    friend TSettingsGroup;
    struct {
        TParityBits bits = prNone;
        bool check = false;
        bool replace = false;
        std::uint8_t replaceChar = 0;
    } v_;
};

class TComFlowControl final : public TSettingsGroup<TComFlowControl> {
public:
    explicit TComFlowControl(TSettingsChanged changed = {}) : TSettingsGroup(std::move(changed)) {}
    TComFlowControl(const TComFlowControl&) = default;
    TComFlowControl& operator=(const TComFlowControl& other) { Assign(&other); return *this; }
    const char* ClassName() const override { return "TComFlowControl"; }

    // The preset is computed, never stored; writing it always re-applies.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

    bool OutCTSFlow() const { return v_.outCTSFlow; }
    bool OutDSRFlow() const { return v_.outDSRFlow; }
    TDTRFlowControl ControlDTR() const { return v_.controlDTR; }
    TRTSFlowControl ControlRTS() const { return v_.controlRTS; }
    bool XonXoffOut() const { return v_.xonXoffOut; }
    bool XonXoffIn() const { return v_.xonXoffIn; }
    bool DSRSensitivity() const { return v_.dsrSensitivity; }
    bool TxContinueOnXoff() const { return v_.txContinueOnXoff; }
    std::uint8_t XonChar() const { return v_.xonChar; }
    std::uint8_t XoffChar() const { return v_.xoffChar; }
    void SetOutCTSFlow(bool v) { Set(v_.outCTSFlow, v); }
    void SetOutDSRFlow(bool v) { Set(v_.outDSRFlow, v); }
    void SetControlDTR(TDTRFlowControl v) { Set(v_.controlDTR, v); }
    void SetControlRTS(TRTSFlowControl v) { Set(v_.controlRTS, v); }
    void SetXonXoffOut(bool v) { Set(v_.xonXoffOut, v); }
    void SetXonXoffIn(bool v) { Set(v_.xonXoffIn, v); }
    void SetDSRSensitivity(bool v) { Set(v_.dsrSensitivity, v); }
    void SetTxContinueOnXoff(bool v) { Set(v_.txContinueOnXoff, v); }
    void SetXonChar(std::uint8_t v) { Set(v_.xonChar, v); }
    void SetXoffChar(std::uint8_t v) { Set(v_.xoffChar, v); }

private:
    friend TSettingsGroup;
    struct {
        bool outCTSFlow = false;
        bool outDSRFlow = false;
        TDTRFlowControl controlDTR = dtrDisable;
        TRTSFlowControl controlRTS = rtsDisable;
        bool xonXoffOut = false;
        bool xonXoffIn = false;
        bool dsrSensitivity = false;
        bool txContinueOnXoff = false;
        std::uint8_t xonChar = 17;
        std::uint8_t xoffChar = 19;
    } v_;
};

class TComTimeouts final : public TSettingsGroup<TComTimeouts> {
public:
    explicit TComTimeouts(TSettingsChanged changed = {}) : TSettingsGroup(std::move(changed)) {}
    TComTimeouts(const TComTimeouts&) = default;
    TComTimeouts& operator=(const TComTimeouts& other) { Assign(&other); return *this; }
    const char* ClassName() const override { return "TComTimeouts"; }

    std::int32_t ReadInterval() const { return v_.readInterval; }
    std::int32_t ReadTotalMultiplier() const { return v_.readTotalMultiplier; }
    std::int32_t ReadTotalConstant() const { return v_.readTotalConstant; }
    std::int32_t WriteTotalMultiplier() const { return v_.writeTotalMultiplier; }
    std::int32_t WriteTotalConstant() const { return v_.writeTotalConstant; }
    void SetReadInterval(std::int32_t v) { Set(v_.readInterval, v); }
    void SetReadTotalMultiplier(std::int32_t v) { Set(v_.readTotalMultiplier, v); }
    void SetReadTotalConstant(std::int32_t v) { Set(v_.readTotalConstant, v); }
    void SetWriteTotalMultiplier(std::int32_t v) { Set(v_.writeTotalMultiplier, v); }
    void SetWriteTotalConstant(std::int32_t v) { Set(v_.writeTotalConstant, v); }

private:
    friend TSettingsGroup;
    struct {
        std::int32_t readInterval = -1;
        std::int32_t readTotalMultiplier = 0;
        std::int32_t readTotalConstant = 0;
        std::int32_t writeTotalMultiplier = 100;
        std::int32_t writeTotalConstant = 1000;
    } v_;
};

class TComBuffer final : public TSettingsGroup<TComBuffer> {
public:
    explicit TComBuffer(TSettingsChanged changed = {}) : TSettingsGroup(std::move(changed)) {}
    TComBuffer(const TComBuffer&) = default;
    TComBuffer& operator=(const TComBuffer& other) { Assign(&other); return *this; }
    const char* ClassName() const override { return "TComBuffer"; }

    std::int32_t InputSize() const { return v_.inputSize; }
    std::int32_t OutputSize() const { return v_.outputSize; }
    // A positive odd size is lowered by one (1025 is kept as 1024).
    void SetInputSize(std::int32_t v) { SetSize(v_.inputSize, v); }
    void SetOutputSize(std::int32_t v) { SetSize(v_.outputSize, v); }

private:
    friend TSettingsGroup;
    void SetSize(std::int32_t& field, std::int32_t v) {
        if (field == v)
            return;
        field = v > 0 && (v & 1) ? v - 1 : v;
        Changed();
    }
    struct {
        std::int32_t inputSize = 1024;
        std::int32_t outputSize = 1024;
    } v_;
};

} // namespace serial
