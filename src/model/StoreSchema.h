#pragma once

// The store as telvane and telvane-widget (and anything else that reads the
// file) both see it: where it lives, its one table, its keys, how each
// program opens it. These names are published: docs/ARCHITECTURE.md
// ("Contracts between the two programs") says what changing one would take.
//
// The table holds one row per document: the key, and the document's compact
// JSON text as a BLOB. A value of another type, or one that is no such
// document, reads as that document's default.

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
// Changes whenever another connection commits.
inline constexpr const char* kDataVersion = "PRAGMA data_version";

// Telvane's connections: no SQLITE_OPEN_CREATE, the file is made first with
// private permissions. No mutex: each connection is used by one thread.
inline constexpr int kWriterOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
// The widget's: it never makes or changes a store.
inline constexpr int kReaderOpenFlags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;

}  // namespace telvane::store_schema
