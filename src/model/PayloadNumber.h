#pragma once

// The number at a display item's path in a message payload, found without
// building the document. The history looks at every stored message, at
// rates where parsing each payload into a tree would cost more than
// receiving it; this reads the payload once, validating as it goes, and
// allocates nothing.
//
// What it finds is exactly what parseJSONPayload and lookupJSONValue
// (JsonPath.h) find: the same strict JSON (UTF-8, depth limit, a number
// beyond the double range makes the payload not JSON), the last of
// duplicate keys, members on objects and indices on arrays. A number is one
// that the parsed document holds as a number: an integer within the 64-bit
// range, or any number with a fraction or an exponent. An integer beyond
// the 64-bit range is kept as text there, and is no number here either.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

class PayloadPath {
public:
    // A display item's dotted path, split as splitJSONPath splits it. No
    // components address the top level, which is never a number.
    explicit PayloadPath(std::string_view path);

    // The payload itself as a bare JSON number, with JSON whitespace around
    // it allowed (a topic that publishes "21.5").
    [[nodiscard]] static PayloadPath wholePayload();

    [[nodiscard]] bool isWholePayload() const { return isWholePayload_; }

    struct Component {
        std::string key;
        std::optional<std::uint64_t> index;  // the key as an array index, if it is one
    };
    [[nodiscard]] const std::vector<Component>& components() const { return components_; }

private:
    PayloadPath() = default;

    std::vector<Component> components_;
    bool isWholePayload_ = false;
};

enum class PayloadNumberKind {
    notJSON,   // no JSON object or array (for the whole payload: no bare number)
    noNumber,  // JSON, but the path leads nowhere or to something else
    number,
};

struct PayloadNumber {
    PayloadNumberKind kind = PayloadNumberKind::notJSON;
    double value = 0;  // for number: finite

    bool operator==(const PayloadNumber&) const = default;
};

// Never throws, never allocates.
[[nodiscard]] PayloadNumber findPayloadNumber(std::string_view payload, const PayloadPath& path);

}  // namespace telvane
