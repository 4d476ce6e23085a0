#include "model/WalCheckpointer.h"

#include "model/StoreSchema.h"

#include <sqlite3.h>

namespace telvane {

namespace {

// A writer of another process may hold the lock; a passive checkpoint does
// not wait for it anyway, and the next commit asks again.
constexpr int kBusyTimeoutMs = 100;

}  // namespace

WalCheckpointer::WalCheckpointer(sqlite3* db, std::filesystem::path path) : db_(db), path_(std::move(path))
{
    sqlite3_wal_hook(db_, &WalCheckpointer::onCommit, this);
}

WalCheckpointer::~WalCheckpointer()
{
    sqlite3_wal_hook(db_, nullptr, nullptr);
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void WalCheckpointer::request()
{
    {
        const std::lock_guard lock(mutex_);
        requested_ = true;
        if (!thread_.joinable()) {
            // Started at the first long log: a small store never needs it.
            thread_ = std::thread([this] { run(); });
        }
    }
    wake_.notify_one();
}

int WalCheckpointer::onCommit(void* self, sqlite3* /*db*/, const char* /*name*/, int pages)
{
    if (pages >= kPagesBeforeCheckpoint) {
        static_cast<WalCheckpointer*>(self)->request();
    }
    return SQLITE_OK;
}

void WalCheckpointer::run()
{
    sqlite3* own = nullptr;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return requested_ || stopping_; });
        if (stopping_) {
            break;
        }
        requested_ = false;
        lock.unlock();
        if (own == nullptr) {
            if (sqlite3_open_v2(path_.c_str(), &own, store_schema::kWriterOpenFlags, nullptr) == SQLITE_OK) {
                sqlite3_busy_timeout(own, kBusyTimeoutMs);
                // A connection learns that the file is in WAL mode at its
                // first read; until then a checkpoint does nothing at all.
                (void)sqlite3_exec(own, "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr);
            } else {
                sqlite3_close_v2(own);  // tried again at the next request
                own = nullptr;
            }
        }
        if (own != nullptr) {
            sqlite3_wal_checkpoint_v2(own, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        }
        lock.lock();
    }
    lock.unlock();
    // Closed before the store's own connection, so that the last one to
    // close (which checkpoints everything and removes the log) is the store's.
    sqlite3_close_v2(own);
}

}  // namespace telvane
