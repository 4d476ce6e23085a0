#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace telvane {

// Compact JSON text of `value` as the store writes it: no indentation, keys in
// insertion order, every "/" inside strings escaped as "\/". Never throws:
// bytes that are not UTF-8 are replaced by U+FFFD.
[[nodiscard]] std::string encodeJsonDocument(const nlohmann::ordered_json& value);

// Appends `text` as a JSON string exactly as encodeJsonDocument writes it,
// for documents put together without building the JSON value first.
void appendJsonString(std::string& out, std::string_view text);

// Parses a JSON text strictly (RFC 8259, UTF-8, no comments, no trailing
// data). Returns no value on any syntax error; never throws.
[[nodiscard]] std::optional<nlohmann::ordered_json> parseJsonDocument(std::string_view text);

// Reads a JSON number as an unsigned 16-bit integer. Integral values written
// as fractions or exponents (1883.0, 1e3) are accepted, because they denote
// the same integer; anything with a fraction, negative, above 65535 or not a
// number gives no value.
[[nodiscard]] std::optional<std::uint16_t> jsonUInt16(const nlohmann::ordered_json& value);

}  // namespace telvane
