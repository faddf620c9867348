#pragma once
// A private cupsd for the printing tests and benchmarks: its own directory
// (configuration, spool, logs, printcap, socket), started as a child of the
// test process and stopped by its pid. Never touches the machine's cupsd or
// /etc/cups.
//
// Queues print through a backend of ours that stores each job's document as
// <JobsDir>/<job id>.job, with the job's title, queue and copies beside it.
//
// Starting it points this process at it: CUPS_SERVER is set to its socket,
// LPDEST and PRINTER are unset, CUPS_STATEDIR leads to its local certificates,
// and the client-side configuration (lpoptions,
// also the user's, through HOME) is read from empty directories of its own.

#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

struct StoredJob {
    int id = 0;
    std::string title;
    std::string queue;
    int copies = 1;    // as the backend was asked to make
    std::string path;  // the document as the backend received it
};

class PrivateCupsd {
public:
    // authenticatePrinting: printing (Print-Job and the like) takes an
    // authenticated user, as on a server with AuthType Default for it;
    // without localCredentials only a password does (no peer credentials,
    // no local certificate for this process).
    // Throws std::runtime_error when cupsd does not come up.
    explicit PrivateCupsd(bool authenticatePrinting = false, bool localCredentials = true);
    ~PrivateCupsd();  // stops cupsd and removes its directory
    PrivateCupsd(const PrivateCupsd&) = delete;
    PrivateCupsd& operator=(const PrivateCupsd&) = delete;

    pid_t Pid() const { return pid_; }
    // SIGSTOP: the daemon still accepts connections (the kernel does) but
    // answers nothing until Resume.
    void Hang();
    void Resume();
    const std::string& Dir() const { return dir_; }
    std::string Socket() const { return dir_ + "/cups.sock"; }
    std::string JobsDir() const { return dir_ + "/jobs"; }

    // lpadmin and friends, against this cupsd; throws when they fail.
    void Run(const std::vector<std::string>& argv);
    void AddQueue(const std::string& name);     // enabled, accepting, our backend
    void RemoveQueue(const std::string& name);  // drops the default with it
    void SetDefault(const std::string& name);
    void Reject(const std::string& name);
    void Accept(const std::string& name);

    // Waits (up to timeoutSeconds) until no job is pending and returns the
    // stored jobs in order of their ids.
    std::vector<StoredJob> FinishedJobs(double timeoutSeconds = 60);
    void ClearJobs();

private:
    void Stop();

    std::string dir_;
    pid_t pid_ = -1;
};

// The text of a stored job, page by page, line by line, as pdftotext reads
// it in monospaced layout from the printable area (paint rectangle, points).
std::vector<std::vector<std::string>> JobPages(const std::string& path, double left, double top,
                                               double width, double height);

} // namespace testing_support

namespace testing_support {

// A helper program for the tests (a simulated printer, a bus), its output
// appended to outputPath, in a session of its own; it dies with the test
// process. StopHelper ends it (SIGTERM, SIGKILL after 20 s) and reaps it.
pid_t StartHelper(const std::vector<std::string>& argv, const std::string& outputPath);
void StopHelper(pid_t pid);

} // namespace testing_support
