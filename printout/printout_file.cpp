#include "printout/printout_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codepage/cp1252.h"

namespace printout {
namespace {

int WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// The new name must reach the disk as well as the file's bytes.
void SyncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
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

bool PrintoutFile::WaitDurable(std::chrono::milliseconds limit)
{
    std::unique_lock lock(lock_);
    const std::uint64_t target = queued_;
    return done_.wait_for(lock, limit, [&] { return settled_ >= target; });
}

void PrintoutFile::Run()
{
    int fd = -1;
    std::string name, path;
    bool failed = false;
    const auto fail = [&](PrintoutFileFailure::Step step, const std::string& where, int error) {
        failed = true;
        if (hooks_.failed)
            hooks_.failed({step, where, error});
    };
    const auto close = [&] {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    };
    const auto create = [&] {
        if (const int error = MakePrivateFolder(folder_)) {
            fail(PrintoutFileFailure::Step::Folder, folder_, error);
            return;
        }
        const std::string stem = folder_ + "/" + name.substr(0, name.size() - 4);
        for (int n = 1; fd < 0; ++n) {
            // Two sheets begun within one second on one port get _2, _3...
            path = n == 1 ? stem + ".txt" : stem + "_" + std::to_string(n) + ".txt";
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
            if (fd < 0 && errno != EEXIST) {
                fail(PrintoutFileFailure::Step::Create, path, errno);
                return;
            }
        }
        SyncFolder(folder_);
        if (hooks_.fileShown)
            hooks_.fileShown(path);
    };
    const auto sync = [&] {
        if (fd >= 0 && !failed && ::fdatasync(fd) != 0)
            fail(PrintoutFileFailure::Step::Sync, path, errno);
    };

    for (;;) {
        std::vector<Item> items;
        {
            std::unique_lock lock(lock_);
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty())
                break;
            items.swap(queue_);
        }
        bool dirty = false;
        for (const Item& item : items) {
            if (item.kind != Kind::Rows) {
                if (dirty)
                    sync();
                dirty = false;
                close();
                name = item.kind == Kind::NewSheet ? item.data : std::string();
                failed = item.kind == Kind::Shown; // nothing more to write there
                if (hooks_.fileShown)
                    hooks_.fileShown(item.kind == Kind::Shown ? item.data : std::string());
                continue;
            }
            if (failed)
                continue;
            if (fd < 0)
                create();
            if (fd < 0)
                continue;
            if (const int error = WriteAll(fd, item.data))
                fail(PrintoutFileFailure::Step::Write, path, error);
            else
                dirty = true;
        }
        if (dirty)
            sync();
        {
            std::lock_guard lock(lock_);
            settled_ = items.back().seq;
        }
        done_.notify_all();
    }
    close();
}

} // namespace printout
