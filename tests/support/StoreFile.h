#pragma once

// A second connection to a store's database file, as the widget, a sqlite3
// shell or another program opens it: to seed what the store reads (also
// what Telvane never writes: garbage, other SQLite types) and to check what
// it wrote, byte for byte. Any failure throws std::runtime_error with
// SQLite's text, which fails a test and ends a benchmark.

#include <filesystem>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace telvane::test {

class StoreFile {
public:
    // readOnly as the widget opens it; create also makes the file, as a
    // sqlite3 shell does.
    enum class Access { readWrite, readOnly, create };

    // Opens with a busy timeout of 5 s.
    explicit StoreFile(const std::filesystem::path& path, Access access = Access::readWrite);
    ~StoreFile();
    StoreFile(const StoreFile&) = delete;
    StoreFile& operator=(const StoreFile&) = delete;

    void exec(const std::string& sql);
    // The first column of the first row as text; "" when there is no row.
    [[nodiscard]] std::string query(const std::string& sql);

    // The bytes stored under `key`, "" when the key is missing.
    [[nodiscard]] std::string get(std::string_view key);
    // Stores `value` under `key` as a BLOB, as Telvane does, or as TEXT.
    void put(std::string_view key, std::string_view value, bool asText = false);

    // From now on counts the rewrites of `key` (a trigger in the database);
    // rewrites() tells how many there were.
    void countRewrites(std::string_view key);
    [[nodiscard]] int rewrites();

private:
    void check(bool ok, const std::string& what) const;
    std::string firstColumn(sqlite3_stmt* statement, const std::string& what) const;

    std::filesystem::path path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
};

}  // namespace telvane::test
