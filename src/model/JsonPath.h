#pragma once

// Dotted paths into JSON message payloads ("sensor.temperature",
// "readings.0.value"). Display items store such paths for the widget, so the
// language is part of the widget contract:
//
// - A payload counts as JSON only when it is a strict JSON text (RFC 8259,
//   UTF-8) whose top level is an object or an array.
// - A path's components are the pieces between "." characters; empty pieces
//   are dropped ("a..b." is a, b). No components addresses the top level.
// - A component names an object member by its exact key; on an array it is a
//   decimal index (optional "+" or "-", digits, within the signed 64-bit
//   range; "007", "+1" and "-0" mean 7, 1 and 0). Members win over indices.
//
// Display text of a value (formatJSONValue):
// - string: itself; boolean: "true" or "false"; null, object, array: none.
// - A number written without fraction or exponent: its digits as written,
//   with "-" when negative ("-0" is 0 and shows "0"). Integers beyond the
//   64-bit range keep their exact digits too (see parseJSONPayload).
// - Any other number is shown as the shortest decimal text that reads back
//   to the same double: "21.5", "2.50" -> "2.5", "3.0" -> "3", "1e2" -> "100",
//   "0.30000000000000004" stays as is. Magnitudes from 0.0001 up to (not
//   including) 1e16, and zero, are written in plain notation; smaller and
//   larger ones in exponent notation with at least two exponent digits, the
//   way printf's %g writes them: "1e+20", "1.5e-07", "-2.5e+16".
//   Text below the double range reads as 0 ("1e-400" -> "0").

#include "model/Records.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

// Parses a message payload strictly; no value when it is not a JSON object or
// array (empty text, a bare scalar, a syntax error, bytes that are not UTF-8).
// Two limits that RFC 8259 leaves to implementations also make a payload not
// JSON: nesting deeper than kMaxPayloadDepth, and a number beyond the double
// range (1e400). Integers beyond the 64-bit range are kept as strings holding
// their written digits, since no native number type holds them exactly; they
// display as written. Of duplicate keys the last one counts. Never throws.
[[nodiscard]] std::optional<Json> parseJSONPayload(std::string_view payload);

// Deeper payloads are refused rather than risking the stack of whoever walks
// them.
inline constexpr int kMaxPayloadDepth = 512;

// The components of a dotted path; empty pieces are dropped.
[[nodiscard]] std::vector<std::string> splitJSONPath(std::string_view path);

// A path component as an array index by the rules above; no value for a
// component that is none.
[[nodiscard]] std::optional<std::uint64_t> jsonArrayIndex(std::string_view component);

// The value that `components` lead to from `value`, or null when a component
// does not resolve. The result points into `value`.
[[nodiscard]] const Json* lookupJSONValue(const Json& value, const std::vector<std::string>& components);

// Display text of a string, number or boolean; no value for null, objects and
// arrays.
[[nodiscard]] std::optional<std::string> formatJSONValue(const Json& value);

// Display text of the value at a dotted path in a parsed payload, as a
// display item shows it: no value for the empty path (even though it would
// address the top level), for a path that does not resolve, and for null,
// objects and arrays.
[[nodiscard]] std::optional<std::string> valueAtPath(const Json& root, std::string_view path);

// Every leaf path below `value`, each the prefix plus the components to the
// leaf joined by ".": depth first, object members in ascending order of
// their keys' code points, array elements by index. Scalars, empty objects
// and empty arrays are leaves.
[[nodiscard]] std::vector<std::string> jsonPaths(const Json& value, const std::vector<std::string>& prefix);

// jsonPaths() of a parsed payload with an empty prefix; empty when the
// payload is not JSON.
[[nodiscard]] std::vector<std::string> payloadJSONPaths(std::string_view payload);

}  // namespace telvane
