#pragma once

// The store as telvane and telvane-widget (and anything else that reads the
// file) both see it: where it lives, its one table, its keys, how each
// program opens it. These names are published: docs/ARCHITECTURE.md
// ("Contracts between the two programs") says what changing one would take.
//
// The table holds one row per document: the key, and the document's compact
// JSON text as a BLOB. A value of another type, or one that is no such
// document, reads as that document's default.
//
// Beside it, two tables hold the history of the shown values (History.h).
// They are an addition, not one of the four documents: a program that does
// not know them never reads them, and a store without them has no history.
// historySeries names each series by its topic and display item path (the
// empty path: the topic's whole payload). historyPoints holds its points,
// each the newest value of one interval ("bucket": the Unix time divided by
// the tier's interval, rounded down) with the interval's smallest and
// largest value, NULL when equal to the value. Times are Unix seconds, as
// telvane-widget prints them, not the documents' seconds since 2001.

#include <sqlite3.h>

namespace telvane::store_schema {

// ${XDG_DATA_HOME:-$HOME/.local/share}/<kDirectory>/<kDatabaseFile>
inline constexpr const char* kDirectory = "group.org.telvane.Telvane";
inline constexpr const char* kDatabaseFile = "defaults.sqlite3";

inline constexpr const char* kConfigKey = "config";
inline constexpr const char* kMessagesKey = "messages";
inline constexpr const char* kDisplayItemsKey = "displayItems";
inline constexpr const char* kDiscoveredTopicsKey = "discoveredTopics";

inline constexpr const char* kCreateTable = "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value)";
inline constexpr const char* kSelectValue = "SELECT value FROM defaults WHERE key = ?1";
// One statement per write, so a reader sees the old or the new document.
inline constexpr const char* kUpsertValue =
    "INSERT INTO defaults(key, value) VALUES(?1, ?2) "
    "ON CONFLICT(key) DO UPDATE SET value = excluded.value";
// The documents the widget shows, in one statement so that a read sees one
// commit; bound to the three keys in order. discoveredTopics is left out on
// purpose: it can hold a hundred thousand topics and the widget shows none.
inline constexpr const char* kSelectShownDocuments = "SELECT key, value FROM defaults WHERE key IN (?1, ?2, ?3)";
inline constexpr const char* kCreateHistoryTables =
    "CREATE TABLE IF NOT EXISTS historySeries(id INTEGER PRIMARY KEY, topic TEXT NOT NULL, path TEXT NOT NULL, "
    "UNIQUE(topic, path)); "
    "CREATE TABLE IF NOT EXISTS historyPoints(series INTEGER NOT NULL, tier INTEGER NOT NULL, "
    "bucket INTEGER NOT NULL, time REAL NOT NULL, value REAL NOT NULL, min REAL, max REAL, "
    "PRIMARY KEY(series, tier, bucket)) WITHOUT ROWID";
// Bound to topic and path.
inline constexpr const char* kInsertHistorySeries =
    "INSERT INTO historySeries(topic, path) VALUES(?1, ?2) ON CONFLICT(topic, path) DO NOTHING";
// Bound to topic, path, tier, bucket, time, value, min, max (min and max
// NULL when equal to the value). A point already there takes the newer
// value and keeps the smaller min and the larger max.
inline constexpr const char* kUpsertHistoryPoint =
    "INSERT INTO historyPoints(series, tier, bucket, time, value, min, max) "
    "SELECT id, ?3, ?4, ?5, ?6, ?7, ?8 FROM historySeries WHERE topic = ?1 AND path = ?2 "
    "ON CONFLICT(series, tier, bucket) DO UPDATE SET "
    "time = max(time, excluded.time), "
    "value = iif(excluded.time >= time, excluded.value, value), "
    "min = nullif(min(coalesce(min, value), coalesce(excluded.min, excluded.value)), "
    "iif(excluded.time >= time, excluded.value, value)), "
    "max = nullif(max(coalesce(max, value), coalesce(excluded.max, excluded.value)), "
    "iif(excluded.time >= time, excluded.value, value))";
// Bound to topic, path, tier, the first bucket and the first time; the
// points in time order as time, value, min, max.
inline constexpr const char* kSelectHistoryPoints =
    "SELECT p.time, p.value, coalesce(p.min, p.value), coalesce(p.max, p.value) "
    "FROM historySeries s JOIN historyPoints p ON p.series = s.id "
    "WHERE s.topic = ?1 AND s.path = ?2 AND p.tier = ?3 AND p.bucket >= ?4 AND p.time >= ?5 ORDER BY p.bucket";
inline constexpr const char* kSelectHistorySeries = "SELECT id, topic, path FROM historySeries";
// Bound to series, tier, the first bucket kept and the most rows to delete:
// removes the oldest rows before that bucket, at most that many.
inline constexpr const char* kDeleteOldHistoryPoints =
    "DELETE FROM historyPoints WHERE series = ?1 AND tier = ?2 AND bucket < "
    "min(?3, (SELECT min(bucket) FROM historyPoints WHERE series = ?1 AND tier = ?2) + ?4)";
inline constexpr const char* kDeleteHistorySeries = "DELETE FROM historySeries WHERE id = ?1";

// Changes whenever another connection commits.
inline constexpr const char* kDataVersion = "PRAGMA data_version";

// Telvane's connections: no SQLITE_OPEN_CREATE, the file is made first with
// private permissions. No mutex: each connection is used by one thread.
inline constexpr int kWriterOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
// The widget's: it never makes or changes a store.
inline constexpr int kReaderOpenFlags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;

}  // namespace telvane::store_schema
