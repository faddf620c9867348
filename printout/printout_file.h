#pragma once
// Every sheet kept as a plain-text file, so a line the clock has been told
// is printed is never only in memory. The file follows the sheet it watches:
// a sheet that begins afresh starts a new file (made at its first row), each
// new row becomes one UTF-8 line, a page marker row a line holding only a
// form feed; row 0's marker is implied.
//
// Rows are handed to a worker thread, which writes and fdatasyncs them at
// once; WaitDurable lets the caller hold its acknowledgement until they are
// on the disk. A file that cannot be written is reported once per sheet; the
// sheet goes on without it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
        // one yet; in the sheet's order. Worker thread.
        std::function<void(const std::string& path)> fileShown;
        std::function<void(const PrintoutFileFailure&)> failed;      // worker thread, once per sheet
    };

    PrintoutFile(PrintoutSheet& sheet, std::string folder, Hooks hooks);
    // Writes what is pending, syncs it and ends the worker.
    ~PrintoutFile() override;
    PrintoutFile(const PrintoutFile&) = delete;
    PrintoutFile& operator=(const PrintoutFile&) = delete;

    const std::string& Folder() const { return folder_; }

    // The rows now shown were loaded from path (restored, opened).
    void Shown(const std::string& path);

    // Waits until every row handed over so far is on the disk, or its file
    // has failed, or the limit has passed; true when nothing is left waiting.
    bool WaitDurable(std::chrono::milliseconds limit);

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
    std::thread worker_;
};

} // namespace printout
