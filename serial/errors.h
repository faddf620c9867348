#pragma once
// EComPort: every failure the serial port component detects. The message is
// the table text of the component code, plus " (win error code: %d)" with the
// system's code where the failure came from the system (errno on Linux).

#include <functional>
#include <stdexcept>
#include <string>

namespace serial {

// Component error codes, 1 to 23.
enum TComPortError : int {
    CError_OpenFailed = 1,
    CError_WriteFailed = 2,
    CError_ReadFailed = 3,
    CError_InvalidAsync = 4,
    CError_PurgeFailed = 5,
    CError_AsyncCheck = 6,
    CError_SetStateFailed = 7,
    CError_TimeoutsFailed = 8,
    CError_SetupComFailed = 9,
    CError_ClearComFailed = 10,
    CError_ModemStatFailed = 11,
    CError_EscapeComFailed = 12,
    CError_TransmitFailed = 13,
    CError_ConnChangeProp = 14,
    CError_EnumPortsFailed = 15,
    CError_StoreFailed = 16,
    CError_LoadFailed = 17,
    CError_RegFailed = 18,
    CError_LedStateFailed = 19,
    CError_ThreadCreated = 20,
    CError_WaitFailed = 21,
    CError_HasLink = 22,
    CError_RegError = 23,
};

inline constexpr int kComPortErrorCount = 23;

class EComPort : public std::runtime_error {
public:
    // With a system error code: table text + the suffix filled with it.
    EComPort(int portErrorCode, int systemErrorCode);
    // Without one: the table text alone; SystemErrorCode() is -1.
    explicit EComPort(int portErrorCode);

    int SystemErrorCode() const { return systemErrorCode_; }
    int PortErrorCode() const { return portErrorCode_; }

private:
    int systemErrorCode_;
    int portErrorCode_;
};

// Start-up: looks each of the 23 texts and the suffix up once through
// translate (the message catalogues). Until it is called the English texts
// are used. Safe to read from any thread at any time.
void InitComPortMessages(const std::function<std::string(const std::string&)>& translate);

// The current text of a code (empty for codes outside 1..23).
std::string ComPortMessage(int portErrorCode);

// The English texts, for catalogue tooling and tests.
const std::string& ComPortEnglishMessage(int portErrorCode);
const std::string& ComPortEnglishSuffix();

// Fills the first "%d" of suffix with code; every other "%" stays as it is.
std::string FillErrorSuffix(const std::string& suffix, int code);

} // namespace serial
