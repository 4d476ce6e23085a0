#pragma once

#include <filesystem>
#include <string>

namespace telvane::test {

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The bytes of the file at `path`, "" when there is none.
[[nodiscard]] std::string readFile(const std::filesystem::path& path);

}  // namespace telvane::test
