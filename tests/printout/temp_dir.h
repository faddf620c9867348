#pragma once
// A private folder under /tmp for a test's files, and reading one back.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/mount.h>

namespace testing_files {

struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string& name)
    {
        std::string pattern = "/tmp/" + name + "-XXXXXX";
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        // A test may have mounted a small tmpfs over it.
        ::umount2(path.c_str(), MNT_DETACH);
        std::filesystem::remove_all(path);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

inline std::string Slurp(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace testing_files
