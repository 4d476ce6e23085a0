#pragma once

// The store's directory and database file are private to the user (0700 and
// 0600, whatever the umask), because the configuration holds the broker
// password.

#include <filesystem>

namespace telvane {

// Creates every missing component of `dir` with mode 0700. True when `dir`
// ends up being a directory.
[[nodiscard]] bool ensurePrivateDirectory(const std::filesystem::path& dir);

// Creates the database file with mode 0600 before SQLite opens it, and
// tightens an existing one and its -wal and -shm companions. False when the
// path cannot be a regular file of ours.
[[nodiscard]] bool ensurePrivateDatabaseFile(const std::filesystem::path& path);

}  // namespace telvane
