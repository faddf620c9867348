#include "printer/cups_session.h"

#include "printer/errors.h"

#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace printer {

using Clock = std::chrono::steady_clock;

namespace {

// Why nothing answers at the server's address, as the system says it: once
// libcups has given up, its errno is that of its own clean-up (a closed
// descriptor), not the connection's. Each address is tried once more, for
// at most the time left; 0 when one of them takes the connection now.
int ConnectionError(const std::string& server, int port, Clock::time_point deadline)
{
    const std::string service = std::to_string(port);
    http_addrlist_t* list = httpAddrGetList(server.c_str(), AF_UNSPEC, service.c_str());
    if (!list)
        return errno ? errno : EHOSTUNREACH;
    int error = EHOSTUNREACH;
    for (http_addrlist_t* a = list; a; a = a->next) {
        const sockaddr* address = reinterpret_cast<const sockaddr*>(&a->addr);
        const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        int result = ::connect(fd, address, static_cast<socklen_t>(httpAddrLength(&a->addr))) == 0 ? 0 : errno;
        if (result == EINPROGRESS) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count()))) == 1) {
                socklen_t length = sizeof result;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length);
            } else {
                result = ETIMEDOUT;
            }
        }
        ::close(fd);
        if (result == 0) {
            error = 0;
            break;
        }
        // A refusal or a missing socket says more than a timeout elsewhere.
        if (error == EHOSTUNREACH || result != ETIMEDOUT)
            error = result;
    }
    httpAddrFreeList(list);
    return error;
}

} // namespace

// What went wrong on the helper thread; the message is made on the calling
// thread, where the catalogues are read.
struct CupsSession::Failure {
    enum Kind { kSilent, kUnreachable, kReported } kind;
    int code = 0;
    std::string detail;
};

CupsSession::CupsSession(std::chrono::milliseconds bound, ProgressCallback wait, PasswordCallback password)
    : bound_(bound),
      wait_(std::move(wait)),
      password_(std::move(password)),
      server_(cupsServer()),
      port_(ippPort()),
      encryption_(cupsEncryption())
{
}

void CupsSession::Run(const std::function<void(CupsSession&)>& work)
{
    {
        const std::lock_guard lock(mutex_);
        done_ = false;
    }
    std::optional<Failure> failure;
    std::exception_ptr error;
    std::thread helper([&] {
        try {
            cupsSetPasswordCB2(&CupsSession::OnPassword, this);
            timedOut_ = false;
            Connect();
            work(*this);
        } catch (const Failure& f) {
            failure = f;
        } catch (...) {
            error = std::current_exception();
        }
        if (http_) {
            httpClose(http_);
            http_ = nullptr;
        }
        const std::lock_guard lock(mutex_);
        done_ = true;
        changed_.notify_all();
    });
    waitFailure_ = nullptr;
    WaitForHelper();
    helper.join();
    if (waitFailure_)
        std::rethrow_exception(waitFailure_);
    if (error)
        std::rethrow_exception(error);
    if (!failure)
        return;
    const QString server = QString::fromStdString(server_);
    switch (failure->kind) {
    case Failure::kSilent: {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bound_).count();
        throw EOSError(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE,
                       QCoreApplication::translate("printer", "The print server %1 did not answer within %2 s.")
                           .arg(server)
                           .arg(std::max<long long>(1, seconds))
                           .toStdString());
    }
    case Failure::kUnreachable:
        throw EOSError(IPP_STATUS_ERROR_SERVICE_UNAVAILABLE,
                       QCoreApplication::translate("printer", "The print server %1 cannot be reached.")
                               .arg(server)
                               .toStdString() +
                           (failure->detail.empty() ? std::string() : " " + failure->detail));
    case Failure::kReported:
        throw EOSError(failure->code, failure->detail);
    }
}

void CupsSession::WaitForHelper()
{
    std::unique_lock lock(mutex_);
    while (!done_) {
        if (asking_) {
            const std::string user = askedUser_;
            lock.unlock();
            std::optional<std::string> answer;
            try {
                if (password_)
                    answer = password_(user, server_);
            } catch (...) {
                // No answer is a declined one; the helper must not wait forever.
            }
            lock.lock();
            answer_ = std::move(answer);
            asking_ = false;
            answered_ = true;
            changed_.notify_all();
            continue;
        }
        if (wait_) {
            lock.unlock();
            try {
                wait_();
            } catch (...) {
                // Reported once the helper is done: it cannot be left running.
                if (!waitFailure_)
                    waitFailure_ = std::current_exception();
            }
            lock.lock();
        }
        changed_.wait_for(lock, std::chrono::milliseconds(5), [this] { return done_ || asking_; });
    }
}

void CupsSession::Restart()
{
    deadline_ = Clock::now() + bound_;
}

int CupsSession::OnSilence(http_t*, void* data)
{
    auto* self = static_cast<CupsSession*>(data);
    if (Clock::now() < self->deadline_)
        return 1;
    self->timedOut_ = true;
    return 0;
}

const char* CupsSession::OnPassword(const char*, http_t*, const char*, const char*, void* data)
{
    auto* self = static_cast<CupsSession*>(data);
    std::unique_lock lock(self->mutex_);
    self->askedUser_ = cupsUser();
    self->answered_ = false;
    self->asking_ = true;
    self->changed_.notify_all();
    self->changed_.wait(lock, [self] { return self->answered_; });
    // The user's typing is not the server's silence.
    self->Restart();
    if (!self->answer_)
        return nullptr;
    self->passwordText_ = *self->answer_;
    return self->passwordText_.c_str();
}

void CupsSession::Connect()
{
    Restart();
    const int msec = static_cast<int>(bound_.count());
    http_ = httpConnect2(server_.c_str(), port_, nullptr, AF_UNSPEC, encryption_, 1, msec, nullptr);
    if (!http_) {
        const int err = errno;
        if (err == ETIMEDOUT || Clock::now() >= deadline_) {
            timedOut_ = true;
            throw Failure{Failure::kSilent, 0, {}};
        }
        const int reason = ConnectionError(server_, port_, deadline_);
        FailConnection(reason ? reason : err);
    }
    // Coarse slices: the callback only checks the bound.
    httpSetTimeout(http_, 0.05, &CupsSession::OnSilence, this);
}

void CupsSession::WaitUntilTaken()
{
    for (;;) {
        int unread = 0;
        if (::ioctl(httpGetFd(http_), SIOCOUTQ, &unread) != 0 || unread == 0)
            return;
        if (Clock::now() >= deadline_) {
            timedOut_ = true;
            FailLast();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void CupsSession::FailConnection(int err)
{
    throw Failure{Failure::kUnreachable, 0, err ? std::strerror(err) : std::string()};
}

void CupsSession::FailLast()
{
    if (timedOut_)
        throw Failure{Failure::kSilent, 0, {}};
    const ipp_status_t status = cupsLastError();
    if (status > IPP_STATUS_OK_CONFLICTING)
        throw Failure{Failure::kReported, static_cast<int>(status), cupsLastErrorString()};
    FailConnection(http_ ? httpError(http_) : 0);
}

void CupsSession::FailSystem(int err)
{
    throw Failure{Failure::kReported, err, std::strerror(err)};
}

} // namespace printer
