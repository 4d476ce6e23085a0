#include "support/StoreFile.h"

#include "model/StoreSchema.h"

#include <sqlite3.h>

#include <stdexcept>

namespace telvane::test {

StoreFile::StoreFile(const std::filesystem::path& path, Access access) : path_(path)
{
    const int flags = access == Access::readOnly ? SQLITE_OPEN_READONLY
                      : access == Access::create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                                 : SQLITE_OPEN_READWRITE;
    check(sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) == SQLITE_OK, "open");
    sqlite3_busy_timeout(db_, 5000);
}

StoreFile::~StoreFile()
{
    sqlite3_finalize(select_);
    sqlite3_finalize(upsert_);
    sqlite3_close_v2(db_);
}

void StoreFile::check(bool ok, const std::string& what) const
{
    if (!ok) {
        throw std::runtime_error(path_.string() + ": " + what + ": " + sqlite3_errmsg(db_));
    }
}

void StoreFile::exec(const std::string& sql)
{
    check(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK, sql);
}

// Steps `statement` once and returns its first column as bytes ("" without a row).
std::string StoreFile::firstColumn(sqlite3_stmt* statement, const std::string& what) const
{
    std::string value;
    const int stepped = sqlite3_step(statement);
    if (stepped == SQLITE_ROW) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
        value.assign(bytes == nullptr ? "" : bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_reset(statement);
    check(stepped == SQLITE_ROW || stepped == SQLITE_DONE, what);
    return value;
}

std::string StoreFile::query(const std::string& sql)
{
    sqlite3_stmt* statement = nullptr;
    check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK, sql);
    std::string value = firstColumn(statement, sql);
    sqlite3_finalize(statement);
    return value;
}

std::string StoreFile::get(std::string_view key)
{
    if (select_ == nullptr) {
        check(sqlite3_prepare_v2(db_, store_schema::kSelectValue, -1, &select_, nullptr) == SQLITE_OK, "get");
    }
    sqlite3_bind_text(select_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    return firstColumn(select_, "get");
}

void StoreFile::put(std::string_view key, std::string_view value, bool asText)
{
    if (upsert_ == nullptr) {
        check(sqlite3_prepare_v2(db_, store_schema::kUpsertValue, -1, &upsert_, nullptr) == SQLITE_OK, "put");
    }
    sqlite3_bind_text(upsert_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (asText) {
        sqlite3_bind_text64(upsert_, 2, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8);
    } else {
        sqlite3_bind_blob64(upsert_, 2, value.data(), value.size(), SQLITE_STATIC);
    }
    const int stepped = sqlite3_step(upsert_);
    sqlite3_reset(upsert_);
    check(stepped == SQLITE_DONE, "put");
}

void StoreFile::countRewrites(std::string_view key)
{
    exec("CREATE TABLE rewrites(n); CREATE TRIGGER counting AFTER UPDATE ON defaults WHEN new.key = '"
         + std::string(key) + "' BEGIN INSERT INTO rewrites VALUES(1); END;");
}

int StoreFile::rewrites()
{
    return std::stoi(query("SELECT count(*) FROM rewrites"));
}

}  // namespace telvane::test
