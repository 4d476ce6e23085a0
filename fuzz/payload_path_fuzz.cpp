// Message payloads and display item paths: parsing a payload, looking up a
// dotted path in it, listing its paths, and the display text of values.
//
// Input: one byte N, then the path (the next N bytes, or all that remain),
// then the payload.
//
// Beyond "no fault": the value at the path is the display text of what the
// path leads to; a payload that does not parse has no paths;
// every listed path that leads to a string, number or boolean has a display
// text; and the display text of every number that is not an integer reads
// back as the same double, in the notation the magnitude calls for.

#include "FuzzCheck.h"
#include "model/JsonPath.h"
#include "model/Records.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {
namespace {

// Listed paths looked up per input; a payload may list thousands.
constexpr std::size_t kMaxLookups = 64;

void checkNumberText(double value, const std::string& text)
{
    FUZZ_CHECK(!text.empty());
    FUZZ_CHECK(std::strtod(text.c_str(), nullptr) == value);
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
    const auto exponent = text.find('e');
    if (plain) {
        FUZZ_CHECK(exponent == std::string::npos);
        return;
    }
    // "1e+20", "1.5e-07": a sign and at least two exponent digits.
    FUZZ_CHECK(exponent != std::string::npos && text.size() >= exponent + 4);
    FUZZ_CHECK(text[exponent + 1] == '+' || text[exponent + 1] == '-');
    FUZZ_CHECK(text.find_first_not_of("0123456789", exponent + 2) == std::string::npos);
}

// Every number in the document, without recursion (nesting may be deep).
void checkNumbers(const Json& root)
{
    std::vector<const Json*> pending{&root};
    while (!pending.empty()) {
        const Json* value = pending.back();
        pending.pop_back();
        if (value->is_structured()) {
            for (const auto& element : *value) {
                pending.push_back(&element);
            }
            continue;
        }
        const auto text = formatJSONValue(*value);
        FUZZ_CHECK(text.has_value() == (value->is_string() || value->is_number() || value->is_boolean()));
        if (value->is_number_float()) {
            checkNumberText(value->get<double>(), *text);
        }
    }
}

}  // namespace
}  // namespace telvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace telvane;
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view path = input.substr(0, data[0]);
    const std::string_view payload = input.substr(path.size());

    const auto root = parseJSONPayload(payload);
    const auto paths = payloadJSONPaths(payload);
    if (!root) {
        FUZZ_CHECK(paths.empty());
        return 0;
    }
    FUZZ_CHECK(root->is_object() || root->is_array());
    const Json* atPath = path.empty() ? nullptr : lookupJSONValue(*root, splitJSONPath(path));
    FUZZ_CHECK(valueAtPath(*root, path) == (atPath != nullptr ? formatJSONValue(*atPath) : std::nullopt));
    FUZZ_CHECK(paths == jsonPaths(*root, {}));
    FUZZ_CHECK(!paths.empty());

    for (std::size_t i = 0; i < paths.size() && i < kMaxLookups; ++i) {
        const Json* found = lookupJSONValue(*root, splitJSONPath(paths[i]));
        if (found != nullptr && found->is_primitive() && !found->is_null()) {
            FUZZ_CHECK(valueAtPath(*root, paths[i]).has_value() || paths[i].empty());
        }
    }
    checkNumbers(*root);
    return 0;
}
