#pragma once

// Copies the store's write-ahead log back into the database file on a thread
// of its own. SQLite would otherwise do it inside whichever commit takes the
// log past 1000 pages, on the main thread: for a document of megabytes that
// is tens of milliseconds of a frozen window.

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

struct sqlite3;

namespace telvane {

class WalCheckpointer {
public:
    // Log size in pages from which a commit asks for a checkpoint (SQLite's
    // own default for its automatic one).
    static constexpr int kPagesBeforeCheckpoint = 1000;

    // Installs itself as `db`'s WAL hook, which turns SQLite's automatic
    // checkpoint off. The thread opens its own connection to `path`.
    // request() and the destructor are called on the thread that uses `db`.
    WalCheckpointer(sqlite3* db, std::filesystem::path path);
    // Waits for a checkpoint under way, then stops. `db` must still be open.
    ~WalCheckpointer();
    WalCheckpointer(const WalCheckpointer&) = delete;
    WalCheckpointer& operator=(const WalCheckpointer&) = delete;

    // Thread-safe and cheap: wakes the thread (started at the first call)
    // for one passive checkpoint.
    void request();

private:
    static int onCommit(void* self, sqlite3* db, const char* name, int pages);
    void run();

    sqlite3* db_;
    std::filesystem::path path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace telvane
