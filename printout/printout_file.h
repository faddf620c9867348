#pragma once
// Every sheet kept as a plain-text file, so a line the clock has been told
// is printed is never only in memory. The file follows the sheet it watches:
// a sheet that begins afresh starts a new file (made at its first row), each
// new row becomes one UTF-8 line, a page marker row a line holding only a
// form feed; row 0's marker is implied.
//
// Rows are handed to a worker thread, which writes and fdatasyncs them at
// once; a new file's folder entry and the run's mark are flushed beside its
// first rows, never ahead of them. A caller holds its acknowledgement until
// the rows are settled: on the disk, or their write has failed for now.
//
// A write that fails keeps the rows in memory: they are tried again with
// each new row and every few seconds, and once the disk takes them the file
// catches up in order, each row once. The failure is reported once, and so
// is the file being kept again. Rows still failing when their sheet ends are
// given up.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <sys/types.h>

#include "printout/sheet.h"

namespace printout {

// What went wrong with a printout file, for the caller to word.
struct PrintoutFileFailure {
    enum class Step { Folder, Create, Write, Sync };
    Step step;
    std::string path; // the folder for Step::Folder, else the file
    int error;        // errno
};

// printouts/2026-12-09_14-32-05_ttyUSB0.txt: local time and the port's
// base name, made safe for a file name.
std::string PrintoutFileName(std::time_t when, const std::string& port);

// Makes the folder and its missing parents, private to the user; 0 or the
// errno of the step that failed.
int MakePrivateFolder(const std::string& folder);

class PrintoutFile : private PrintoutSheet::Observer {
public:
    struct Hooks {
        std::function<std::string()> portName;                       // main thread
        // The file the sheet now shows, empty for a fresh sheet without
        // one yet; in the sheet's order. Worker thread, or beside it.
        std::function<void(const std::string& path)> fileShown;
        // Writing stopped working; once until it works again or the sheet
        // ends. Worker thread.
        std::function<void(const PrintoutFileFailure&)> failed;
        // Everything held back since the failure is on disk now. Worker.
        std::function<void()> keptAgain;
        // Rows handed over have settled (see Settled). Worker thread.
        std::function<void()> settled;
    };

    PrintoutFile(PrintoutSheet& sheet, std::string folder, Hooks hooks);
    // Writes what is pending, syncs it and ends the worker.
    ~PrintoutFile() override;
    PrintoutFile(const PrintoutFile&) = delete;
    PrintoutFile& operator=(const PrintoutFile&) = delete;

    const std::string& Folder() const { return folder_; }

    // The rows now shown were loaded from path (restored, opened).
    void Shown(const std::string& path);

    // The rows handed over so far, as a ticket for Settled.
    std::uint64_t Ticket();
    // Every row handed over up to the ticket is on disk, or its write has
    // failed for now (it is kept and tried again).
    bool Settled(std::uint64_t ticket);
    // Blocks until Settled(Ticket()) or the limit has passed; true when
    // nothing is left waiting.
    bool WaitDurable(std::chrono::milliseconds limit);

    // Rows of the sheet shown whose write failed and that are not on the
    // disk yet (page markers not counted); 0 while writing works.
    std::size_t LinesNotOnDisk() const { return notOnDisk_.load(); }

private:
    // Rows loaded from a file are not written again.
    void SheetReset() override;
    void RowsChanged(int firstChangedRow) override;
    void CurrentRowChanged(int, bool) override {}
    void SheetBegun() override;

    enum class Kind { NewSheet, Rows, Shown };
    void Run();
    void Enqueue(Kind kind, std::string data);

    struct Item {
        Kind kind;
        std::string data; // the new file's name, the rows' bytes, the file shown
        std::uint64_t seq;
    };

    // The worker's file of the sheet shown.
    struct Target {
        std::string name;     // to be made in the folder; empty: nothing to write
        std::string path;
        int fd = -1;
        off_t onDisk = 0;     // bytes known flushed
        std::string pending;  // bytes after those, not known on disk
        std::size_t written = 0; // of pending, written since the last failed flush
        bool named = false;   // its folder entry and the mark are flushed
    };
    bool TryWrite(Target& target);
    void Fail(PrintoutFileFailure::Step step, const std::string& where, int error);
    void End(Target& target);

    PrintoutSheet& sheet_;
    std::string folder_;
    Hooks hooks_;
    int written_ = 1;        // main thread: the next row to hand over
    bool following_ = true;  // main thread: rows appended now belong to the file

    std::mutex lock_;
    std::condition_variable wake_;  // the worker's
    std::condition_variable done_;  // WaitDurable's
    std::vector<Item> queue_;
    std::uint64_t queued_ = 0;  // sequence of the last item queued
    std::uint64_t settled_ = 0; // every item up to this one is durable or given up
    bool stop_ = false;
    bool failing_ = false; // worker: reported, not yet kept again
    std::atomic<std::size_t> notOnDisk_{0};
    std::thread worker_;
};

} // namespace printout
