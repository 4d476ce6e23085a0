#pragma once

// The widget's side of the soak run: opens the store read-only, as another
// program would, and reads and decodes the four documents at a fixed rate,
// counting every document that was there but could not be read.

#include <chrono>
#include <filesystem>
#include <string>

namespace telvane::soak {

struct ReaderTally {
    long rounds = 0;        // each reads all four documents
    long readable = 0;      // documents that parsed and decoded
    long missing = 0;       // documents not written yet
    long unreadable = 0;    // present but not a JSON BLOB its decoder accepts: torn or corrupt
    long inconsistent = 0;  // readable, but holding what Telvane never writes
    long busy = 0;          // SQLite refused the read (locked); not a document fault
    double slowestReadMs = 0;

    [[nodiscard]] std::string summary() const;
    // The summary() line read back; false when `line` is not one.
    [[nodiscard]] bool parse(const std::string& line);
};

class StoreReader {
public:
    // `configuredPrefix`: the prefix of every topic whose messages may be stored.
    StoreReader(std::filesystem::path database, std::string configuredPrefix);

    // Reads every 1/`hertz` s until `duration` has passed.
    [[nodiscard]] ReaderTally run(double hertz, std::chrono::duration<double> duration) const;

private:
    std::filesystem::path database_;
    std::string configuredPrefix_;
};

}  // namespace telvane::soak
