#include "serial/errors.h"

#include <array>
#include <memory>
#include <mutex>

namespace serial {

namespace {

const std::array<std::string, kComPortErrorCount + 1> kEnglish = {
    "",
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

const std::string kEnglishSuffix = " (win error code: %d)";

struct Table {
    std::array<std::string, kComPortErrorCount + 1> texts;
    std::string suffix;
};

// Replaced as a whole, so a reader on the monitor thread never sees half a
// table.
std::mutex tableMutex;
std::shared_ptr<const Table> currentTable = std::make_shared<const Table>(Table{kEnglish, kEnglishSuffix});

std::shared_ptr<const Table> CurrentTable() {
    std::lock_guard lock(tableMutex);
    return currentTable;
}

bool ValidCode(int code) { return code >= 1 && code <= kComPortErrorCount; }

} // namespace

void InitComPortMessages(const std::function<std::string(const std::string&)>& translate) {
    auto t = std::make_shared<Table>();
    for (int code = 1; code <= kComPortErrorCount; ++code)
        t->texts[code] = translate ? translate(kEnglish[code]) : kEnglish[code];
    t->suffix = translate ? translate(kEnglishSuffix) : kEnglishSuffix;
    std::lock_guard lock(tableMutex);
    currentTable = std::move(t);
}

std::string ComPortMessage(int portErrorCode) {
    if (!ValidCode(portErrorCode))
        return {};
    return CurrentTable()->texts[portErrorCode];
}

const std::string& ComPortEnglishMessage(int portErrorCode) {
    return kEnglish[ValidCode(portErrorCode) ? portErrorCode : 0];
}

const std::string& ComPortEnglishSuffix() { return kEnglishSuffix; }

std::string FillErrorSuffix(const std::string& suffix, int code) {
    // A translation is never handed to printf: only the one "%d" is filled.
    const auto at = suffix.find("%d");
    if (at == std::string::npos)
        return suffix;
    std::string out = suffix;
    out.replace(at, 2, std::to_string(code));
    return out;
}

static std::string BuildMessage(int portErrorCode, int systemErrorCode) {
    auto t = CurrentTable();
    const std::string& text = t->texts[ValidCode(portErrorCode) ? portErrorCode : 0];
    return text + FillErrorSuffix(t->suffix, systemErrorCode);
}

EComPort::EComPort(int portErrorCode, int systemErrorCode)
    : std::runtime_error(BuildMessage(portErrorCode, systemErrorCode)),
      systemErrorCode_(systemErrorCode), portErrorCode_(portErrorCode) {}

EComPort::EComPort(int portErrorCode)
    : std::runtime_error(ComPortMessage(portErrorCode)), systemErrorCode_(-1),
      portErrorCode_(portErrorCode) {}

} // namespace serial
