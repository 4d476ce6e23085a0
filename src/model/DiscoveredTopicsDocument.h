#pragma once

// The "discoveredTopics" document of the store, grown one topic at a time.
// A busy broker brings hundreds of thousands of new topics in a burst, and
// encoding the whole set for every write made that quadratic. A writer that
// keeps the set itself keeps the set's text here too, encodes only what it
// adds, and writes it with SharedStore::saveDiscoveredTopicsDocument.
//
// The text is the document the store's readers get (README, "Widget
// contract"):
//
// - A compact JSON array of strings (no spaces), in the order appended;
//   "[]" before the first.
// - Each string written the way every document of the store writes strings
//   (encodeJsonDocument): "/" as "\/", and bytes that are not UTF-8 replaced
//   by U+FFFD, so such a topic reads back in its replaced form.
// - The document is a set, and this class does not check it: the writer
//   appends each topic once. A topic appended twice is written twice and
//   reads back once.

#include <cstddef>
#include <string>
#include <string_view>

namespace telvane {

class DiscoveredTopicsDocument {
public:
    // Adds `topic` at the end of the array.
    void append(std::string_view topic);

    // Topics appended so far.
    [[nodiscard]] std::size_t size() const { return count_; }

    // The whole JSON text (a copy: the array goes on growing).
    [[nodiscard]] std::string text() const;

private:
    std::string open_{"["};  // the array without its closing "]"
    std::size_t count_ = 0;
};

}  // namespace telvane
