#include "support/OutsideWriter.h"

#include "support/MosquittoBroker.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace telvane::test {

bool isLocked(const std::filesystem::path& path)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const int result = sqlite3_exec(db, "BEGIN IMMEDIATE; ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db);
    return result == SQLITE_BUSY;
}

// The shell's sleep outlives a killed shell for a while; with no output of
// ours open it keeps nothing waiting for it.
OutsideWriter::OutsideWriter(const std::filesystem::path& path)
    // The busy timeout rides out the moment isLocked() below holds the lock
    // itself; without it the shell's BEGIN fails and it never takes the lock.
    : pid_(spawnProcess({"/usr/bin/sqlite3", path.string(), ".timeout 5000", "BEGIN IMMEDIATE;",
                         "INSERT OR REPLACE INTO defaults VALUES('outside', x'00');", ".shell sleep 30"},
                        std::nullopt, "/dev/null"))
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!isLocked(path) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void OutsideWriter::release()
{
    if (pid_ > 0) {
        reapProcess(pid_, std::chrono::milliseconds(0));
        pid_ = -1;
    }
}

}  // namespace telvane::test
