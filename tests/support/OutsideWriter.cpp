#include "support/OutsideWriter.h"

#include <sqlite3.h>

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
    : shell_({"/usr/bin/sqlite3", path.string(), ".timeout 5000", "BEGIN IMMEDIATE;",
              "INSERT OR REPLACE INTO defaults VALUES('outside', x'00');", ".shell sleep 30"},
             std::nullopt, "/dev/null")
{
    (void)waitUntil([&] { return isLocked(path); }, std::chrono::seconds(10));
}

}  // namespace telvane::test
