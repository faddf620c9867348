#pragma once
// Each running copy keeps a mark in the runs folder, locked for as long as
// the process lives, naming the printout file its sheet shows. The lock dies
// with the process however it ends, so a mark whose lock can be taken was
// left by a run that did not end cleanly (a crash, kill -9, a power cut).
// Qt-free.

#include <mutex>
#include <string>

namespace app {

class TRunMark {
public:
    // Makes and locks this run's mark; without a usable folder the run goes
    // unmarked (and a crash of it goes unnoticed).
    explicit TRunMark(const std::string& folder);
    // A clean end: the mark goes.
    ~TRunMark();
    TRunMark(const TRunMark&) = delete;
    TRunMark& operator=(const TRunMark&) = delete;

    // The printout file the sheet now shows; any thread. A file is flushed
    // to the mark; a fresh sheet (empty) is not waited for: a crash before
    // its first row shows the sheet before it, which is kept complete.
    void Record(const std::string& printoutPath);

    // One mark left by a run that no longer exists (the first the folder
    // lists): the file it names, or empty. Taken marks are removed; copies starting together
    // never take the same one.
    static std::string ClaimCrashed(const std::string& folder);

private:
    std::mutex lock_;
    std::string path_;
    int fd_ = -1;
};

} // namespace app
