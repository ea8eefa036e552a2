// Temporary directories for tests: a fresh directory under $TMPDIR (or /tmp)
// that is removed with everything in it when the object goes out of scope.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace corvotest {

class TempDir {
public:
    // The directory is named <base>/<prefix>-XXXXXX; throws when it cannot
    // be made, which fails the test that asked for it.
    explicit TempDir(const std::string& prefix = "corvo-test")
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data()))
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        path_ = buffer.data();
        owner_ = getpid();
    }

    // Only the process that made the directory removes it: a forked child
    // that leaves through a normal return must not pull it from under its
    // parent.
    ~TempDir()
    {
        if (path_.empty() || getpid() != owner_)
            return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})), owner_(other.owner_) {}
    TempDir& operator=(TempDir&&) = delete;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

    // The path of `name` inside the directory (nothing is created).
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Writes `text` to `name` inside the directory and returns its path.
    std::string makeFile(const std::string& name, const std::string& text = "") const
    {
        std::string file = *this / name;
        std::ofstream(file) << text;
        return file;
    }

private:
    std::string path_;
    pid_t owner_ = -1;
};

}  // namespace corvotest
