#include "support/StoreFile.h"

#include "model/StoreSchema.h"

#include <sqlite3.h>

#include <stdexcept>

namespace telvane::test {

namespace {

int openFlags(StoreFile::Access access)
{
    switch (access) {
    case StoreFile::Access::readOnly: return SQLITE_OPEN_READONLY;
    case StoreFile::Access::create: return SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    case StoreFile::Access::readWrite: break;
    }
    return SQLITE_OPEN_READWRITE;
}

}  // namespace

StoreFile::StoreFile(const std::filesystem::path& path, Access access) : path_(path)
{
    if (sqlite3_open_v2(path.c_str(), &db_, openFlags(access), nullptr) != SQLITE_OK) {
        fail("open");
    }
    sqlite3_busy_timeout(db_, 5000);
}

StoreFile::~StoreFile()
{
    sqlite3_finalize(select_);
    sqlite3_finalize(upsert_);
    sqlite3_close_v2(db_);
}

void StoreFile::fail(const std::string& what) const
{
    throw std::runtime_error(path_.string() + ": " + what + ": " + sqlite3_errmsg(db_));
}

void StoreFile::prepare(const char* sql, sqlite3_stmt** statement)
{
    if (*statement == nullptr && sqlite3_prepare_v2(db_, sql, -1, statement, nullptr) != SQLITE_OK) {
        fail(sql);
    }
}

void StoreFile::exec(const std::string& sql)
{
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(sql);
    }
}

std::string StoreFile::query(const std::string& sql)
{
    sqlite3_stmt* statement = nullptr;
    prepare(sql.c_str(), &statement);
    std::string text;
    const int stepped = sqlite3_step(statement);
    if (stepped == SQLITE_ROW) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
        text.assign(bytes == nullptr ? "" : bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_finalize(statement);
    if (stepped != SQLITE_ROW && stepped != SQLITE_DONE) {
        fail(sql);
    }
    return text;
}

std::string StoreFile::get(std::string_view key)
{
    prepare(store_schema::kSelectValue, &select_);
    sqlite3_bind_text(select_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    std::string value;
    const int stepped = sqlite3_step(select_);
    if (stepped == SQLITE_ROW) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(select_, 0));
        value.assign(bytes == nullptr ? "" : bytes, static_cast<std::size_t>(sqlite3_column_bytes(select_, 0)));
    }
    sqlite3_reset(select_);
    if (stepped != SQLITE_ROW && stepped != SQLITE_DONE) {
        fail("get");
    }
    return value;
}

void StoreFile::put(std::string_view key, std::string_view value, bool asText)
{
    prepare(store_schema::kUpsertValue, &upsert_);
    sqlite3_bind_text(upsert_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (asText) {
        sqlite3_bind_text64(upsert_, 2, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8);
    } else {
        sqlite3_bind_blob64(upsert_, 2, value.data(), value.size(), SQLITE_STATIC);
    }
    const int stepped = sqlite3_step(upsert_);
    sqlite3_reset(upsert_);
    sqlite3_clear_bindings(upsert_);
    if (stepped != SQLITE_DONE) {
        fail("put");
    }
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
