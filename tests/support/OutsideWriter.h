#pragma once

// A sqlite3 shell in another process that holds a database's write lock,
// as a widget or a user's shell in a long transaction would.

#include <sys/types.h>

#include <filesystem>

namespace telvane::test {

// True while another connection holds the write lock of the database.
[[nodiscard]] bool isLocked(const std::filesystem::path& path);

class OutsideWriter {
public:
    // Starts the shell and waits (at most 10 s) until it holds the lock,
    // with an uncommitted write of its own.
    explicit OutsideWriter(const std::filesystem::path& path);
    ~OutsideWriter() { release(); }
    OutsideWriter(const OutsideWriter&) = delete;
    OutsideWriter& operator=(const OutsideWriter&) = delete;

    // Kills the shell: its transaction dies with it, and so does the lock.
    void release();

private:
    pid_t pid_;
};

}  // namespace telvane::test
