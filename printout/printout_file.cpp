#include "printout/printout_file.h"

#include <cerrno>
#include <fcntl.h>
#include <future>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "codepage/cp1252.h"
#include "printout/printout_disk.h"

namespace printout {
namespace {

// Waits this long between tries while the disk refuses the rows.
constexpr auto kRetryEvery = std::chrono::seconds(3);

// A new file's name must reach the disk as well as its bytes.
void SyncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        CurrentDisk().Flush(fd, true);
        ::close(fd);
    }
}

// The rows in bytes written for them; a page marker is no line.
std::size_t LinesIn(const std::string& bytes)
{
    std::size_t lines = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n' && !(i > 0 && bytes[i - 1] == '\f' && (i == 1 || bytes[i - 2] == '\n')))
            ++lines;
    return lines;
}

} // namespace

std::string PrintoutFileName(std::time_t when, const std::string& port)
{
    std::tm local{};
    ::localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
    std::string base = port.substr(port.find_last_of('/') + 1);
    for (char& c : base) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '-' || c == '_';
        if (!safe)
            c = '_';
    }
    if (base.empty() || base[0] == '.')
        base.insert(0, "port");
    return std::string(stamp) + "_" + base + ".txt";
}

int MakePrivateFolder(const std::string& folder)
{
    if (folder.empty())
        return ENOENT;
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
        if (slash == std::string::npos)
            break;
    }
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

PrintoutFile::PrintoutFile(PrintoutSheet& sheet, std::string folder, Hooks hooks)
    : sheet_(sheet), folder_(std::move(folder)), hooks_(std::move(hooks))
{
    while (folder_.size() > 1 && folder_.back() == '/')
        folder_.pop_back();
    worker_ = std::thread([this] { Run(); });
    sheet_.AddObserver(this);
    // The sheet on screen now is the start's fresh one.
    if (sheet_.RowCount() == 1)
        SheetBegun();
    else
        SheetReset();
}

PrintoutFile::~PrintoutFile()
{
    sheet_.RemoveObserver(this);
    {
        std::lock_guard lock(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void PrintoutFile::Enqueue(Kind kind, std::string data)
{
    {
        std::lock_guard lock(lock_);
        queue_.push_back({kind, std::move(data), ++queued_});
    }
    wake_.notify_one();
}

void PrintoutFile::Shown(const std::string& path)
{
    Enqueue(Kind::Shown, path);
}

void PrintoutFile::SheetReset()
{
    following_ = false;
    written_ = sheet_.RowCount();
}

void PrintoutFile::SheetBegun()
{
    following_ = true;
    written_ = 1;
    Enqueue(Kind::NewSheet, PrintoutFileName(std::time(nullptr), hooks_.portName ? hooks_.portName() : std::string()));
}

void PrintoutFile::RowsChanged(int firstChangedRow)
{
    if (!following_) {
        // Rows added to a sheet that came from a file: kept in a new one.
        SheetBegun();
        written_ = firstChangedRow;
    }
    written_ = std::min(written_, std::max(1, firstChangedRow));
    std::string bytes;
    for (int row = written_; row < sheet_.RowCount(); ++row) {
        if (sheet_.IsPageMarker(row))
            bytes += "\f\n";
        else
            bytes += codepage::ToUtf8(sheet_.RowText(row)) + '\n';
    }
    written_ = sheet_.RowCount();
    if (!bytes.empty())
        Enqueue(Kind::Rows, std::move(bytes));
}

std::uint64_t PrintoutFile::Ticket()
{
    std::lock_guard lock(lock_);
    return queued_;
}

bool PrintoutFile::Settled(std::uint64_t ticket)
{
    std::lock_guard lock(lock_);
    return settled_ >= ticket;
}

bool PrintoutFile::WaitDurable(std::chrono::milliseconds limit)
{
    std::unique_lock lock(lock_);
    const std::uint64_t target = queued_;
    return done_.wait_for(lock, limit, [&] { return settled_ >= target; });
}

void PrintoutFile::Fail(PrintoutFileFailure::Step step, const std::string& where, int error)
{
    if (failing_)
        return;
    failing_ = true;
    if (hooks_.failed)
        hooks_.failed({step, where, error});
}

bool PrintoutFile::TryWrite(Target& t)
{
    if (t.pending.empty() || t.name.empty())
        return true;
    if (t.fd < 0) {
        if (const int error = MakePrivateFolder(folder_)) {
            Fail(PrintoutFileFailure::Step::Folder, folder_, error);
            return false;
        }
        const std::string stem = folder_ + "/" + t.name.substr(0, t.name.size() - 4);
        for (int n = 1; t.fd < 0; ++n) {
            // Two sheets begun within one second on one port get _2, _3...
            t.path = n == 1 ? stem + ".txt" : stem + "_" + std::to_string(n) + ".txt";
            t.fd = ::open(t.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (t.fd < 0 && errno != EEXIST) {
                Fail(PrintoutFileFailure::Step::Create, t.path, errno);
                return false;
            }
        }
    }
    Disk& disk = CurrentDisk();
    if (t.written < t.pending.size()) {
        std::size_t n = 0;
        const int error = disk.Write(t.fd, std::string_view(t.pending).substr(t.written),
                                     t.onDisk + static_cast<off_t>(t.written), &n);
        t.written += n;
        if (error) {
            Fail(PrintoutFileFailure::Step::Write, t.path, error);
            return false;
        }
    }
    // The new name's flushes run beside the rows' own, not ahead of them.
    std::future<void> folder, mark;
    if (!t.named) {
        // Without a thread to spare they run here, one after the other.
        const auto beside = [](std::function<void()> job) {
            try {
                return std::async(std::launch::async, job);
            } catch (const std::system_error&) {
                return std::async(std::launch::deferred, job);
            }
        };
        folder = beside([this] { SyncFolder(folder_); });
        if (hooks_.fileShown)
            mark = beside([this, path = t.path] { hooks_.fileShown(path); });
    }
    const int error = disk.Flush(t.fd, false);
    if (!t.named) {
        folder.get();
        if (mark.valid())
            mark.get();
        t.named = true;
    }
    if (error) {
        // What was written since the last good flush may be lost: all of
        // it goes again.
        t.written = 0;
        Fail(PrintoutFileFailure::Step::Sync, t.path, error);
        return false;
    }
    t.onDisk += static_cast<off_t>(t.pending.size());
    t.pending.clear();
    t.written = 0;
    if (failing_) {
        failing_ = false;
        if (hooks_.keptAgain)
            hooks_.keptAgain();
    }
    return true;
}

// The sheet is over: a last try, then what is still refused is given up.
void PrintoutFile::End(Target& t)
{
    TryWrite(t);
    if (t.fd >= 0)
        ::close(t.fd);
    t = Target{};
    failing_ = false;
}

void PrintoutFile::Run()
{
    Target target;
    for (;;) {
        std::vector<Item> items;
        {
            std::unique_lock lock(lock_);
            const auto ready = [&] { return stop_ || !queue_.empty(); };
            if (failing_ && !target.pending.empty())
                wake_.wait_for(lock, kRetryEvery, ready);
            else
                wake_.wait(lock, ready);
            if (stop_ && queue_.empty())
                break;
            items.swap(queue_);
        }
        for (Item& item : items) {
            if (item.kind == Kind::Rows) {
                target.pending += item.data;
                continue;
            }
            End(target);
            if (item.kind == Kind::NewSheet)
                target.name = std::move(item.data);
            if (hooks_.fileShown)
                hooks_.fileShown(item.kind == Kind::Shown ? item.data : std::string());
        }
        TryWrite(target);
        notOnDisk_ = failing_ ? LinesIn(target.pending) : 0;
        if (!items.empty()) {
            {
                std::lock_guard lock(lock_);
                settled_ = items.back().seq;
            }
            done_.notify_all();
            if (hooks_.settled)
                hooks_.settled();
        }
    }
    End(target);
}

} // namespace printout
