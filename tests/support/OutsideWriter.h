#pragma once

// A sqlite3 shell in another process that holds a database's write lock,
// as a widget or a user's shell in a long transaction would.

#include "support/MosquittoBroker.h"

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
    // Kills the shell: its transaction dies with it, and so does the lock.
    void release() { shell_.stop(SIGKILL, std::chrono::milliseconds(0)); }

private:
    ChildProcess shell_;
};

}  // namespace telvane::test
