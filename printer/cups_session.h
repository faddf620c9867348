#pragma once
// One bounded conversation with the print server. libcups does the work
// (destinations, authentication, the request exchange) on a helper thread
// over one connection; the calling thread meanwhile only says that it waits
// (the wait callback) and puts the server's password questions to the user.
//
// The bound is the server's silence: the helper restarts it whenever the
// server has answered or taken data, and the connection's timeout callback
// gives up once it has passed. What the caller's thread does meanwhile does
// not count, and neither does the time a password question is open.

#include "printer/spooler.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <cups/cups.h>

namespace printer {

class CupsSession {
public:
    CupsSession(std::chrono::milliseconds bound, ProgressCallback wait, PasswordCallback password);
    CupsSession(const CupsSession&) = delete;
    CupsSession& operator=(const CupsSession&) = delete;

    // Runs work on the helper thread with a fresh connection and returns
    // once it is done. Its failures come out here as EOSError.
    void Run(const std::function<void(CupsSession&)>& work);

    // ---- for work, on the helper thread -------------------------------------
    http_t* Http() const { return http_; }
    // The server has answered: its silence is counted from now.
    void Restart();
    bool TimedOut() const { return timedOut_; }
    // Until the server has read every byte sent so far.
    void WaitUntilTaken();
    // The failure libcups recorded last (or the silence, or the connection).
    [[noreturn]] void FailLast();
    // An error the system gave.
    [[noreturn]] static void FailSystem(int err);

private:
    struct Failure;
    static int OnSilence(http_t* http, void* data);
    static const char* OnPassword(const char* prompt, http_t* http, const char* method, const char* resource,
                                  void* data);
    void Connect();
    void WaitForHelper();
    [[noreturn]] void FailConnection(int err);

    const std::chrono::milliseconds bound_;
    const ProgressCallback wait_;
    const PasswordCallback password_;
    // Read on the calling thread: libcups keeps them per thread.
    const std::string server_;
    const int port_;
    const http_encryption_t encryption_;

    // Helper thread only.
    http_t* http_ = nullptr;
    std::chrono::steady_clock::time_point deadline_;
    bool timedOut_ = false;
    std::string passwordText_;

    // Calling thread only.
    std::exception_ptr waitFailure_;

    // Shared between the two threads.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    bool asking_ = false;  // a password question waits for the calling thread
    bool answered_ = false;
    std::string askedUser_;
    std::optional<std::string> answer_;
};

} // namespace printer
