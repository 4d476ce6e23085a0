#include "model/JsonPath.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace telvane {
namespace {

// As the widget shows a display item's value: the payload parsed, the path looked up.
std::optional<std::string> valueAt(const std::string& payload, std::string_view path)
{
    const auto root = parseJSONPayload(payload);
    return root ? valueAtPath(*root, path) : std::nullopt;
}

std::string nested(int depth)
{
    return std::string(static_cast<std::size_t>(depth), '[') + "1" + std::string(static_cast<std::size_t>(depth), ']');
}

TEST(JsonPathTest, ValueAtPathResolvesMembersAndIndices)
{
    const std::string readings = R"({"a": [{"v": "x"}, {"v": "y"}]})";
    const struct {
        std::string payload;
        std::string path;
        std::optional<std::string> expected;
    } cases[] = {
        {R"({"t": 21.5})", "t", "21.5"},
        {R"({"t": 21.5})", ".t.", "21.5"},
        {R"({"t": 21.5})", "", std::nullopt},
        {R"({"t": 21.5})", "t.x", std::nullopt},
        {R"({"s": {"t": 1}})", "s..t", "1"},
        {readings, "a.1.v", "y"},
        {readings, "a.2.v", std::nullopt},
        {readings, "a.-1.v", std::nullopt},
        {readings, "a.one.v", std::nullopt},
        {readings, "a", std::nullopt},
        {readings, "a.+1.v", "y"},
        {readings, "a.-0.v", "x"},
        {readings, "a.1x.v", std::nullopt},
        {readings, "a.9223372036854775808.v", std::nullopt},
        {"[10, 20]", "1", "20"},
        {"[10, 20]", "01", "20"},
        {"[10, 20]", ".", std::nullopt},
        {R"({"0": "k"})", "0", "k"},
        {R"({"n": null})", "n", std::nullopt},
        {R"({"o": {}})", "o", std::nullopt},
        {R"({"s": ""})", "s", ""},
        {R"({"s": "a\/b \u00e4 \ud834\udd1e"})", "s", "a/b ä 𝄞"},
        {R"({"b": true, "f": false})", "b", "true"},
        {R"({"b": true, "f": false})", "f", "false"},
        {R"({"a": 1, "a": 2})", "a", "2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(valueAt(c.payload, c.path), c.expected) << "payload " << c.payload << ", path \"" << c.path << '"';
    }
}

TEST(JsonPathTest, PayloadsThatAreNotAJsonObjectOrArrayHaveNoValuesAndNoPaths)
{
    const std::string payloads[] = {
        "",
        "42",
        R"("a")",
        "{",
        R"({"a": 1} x)",
        R"(/* c */ {"a": 1})",
        R"({"a": NaN})",
        R"({"a": 1e400})",
        R"({"a": "\ud800"})",
        "{\"a\": \"\xFF\"}",
        std::string("{\"a\": 1}\0", 9),
        "eyJhIjogMX0=",  // a binary payload shows as Base64 text
        nested(kMaxPayloadDepth + 1),
    };
    for (const auto& payload : payloads) {
        for (const char* path : {"a", "0"}) {
            EXPECT_EQ(valueAt(payload, path), std::nullopt) << "payload " << payload << ", path " << path;
        }
        EXPECT_TRUE(payloadJSONPaths(payload).empty()) << "payload " << payload;
    }
}

TEST(JsonPathTest, NumbersDisplayAsWrittenOrInShortestForm)
{
    const struct {
        const char* json;
        const char* text;
    } cases[] = {
        // Integral in the text: the digits as written, at any size.
        {"-17", "-17"},
        {"18446744073709551615", "18446744073709551615"},
        {"18446744073709551616", "18446744073709551616"},
        {"-9223372036854775809", "-9223372036854775809"},
        // Fraction or exponent: shortest text that reads back the same.
        {"21.5", "21.5"},
        {"2.50", "2.5"},
        {"-0.125", "-0.125"},
        {"3.0", "3"},
        {"1E+2", "100"},
        {"0.30000000000000004", "0.30000000000000004"},
        // Outside 0.0001 <= |x| < 1e16: exponent form.
        {"0.00009", "9e-05"},
        {"1e16", "1e+16"},
        {"12345678901234567890.0", "1.2345678901234567e+19"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(valueAt(std::string(R"({"n": )") + c.json + "}", "n"), std::optional<std::string>(c.text)) << c.json;
    }
}

TEST(JsonPathTest, PathsListEveryLeafDepthFirstWithKeysInCodePointOrder)
{
    const struct {
        std::string payload;
        std::vector<std::string> expected;
    } cases[] = {
        {R"({"b": 1, "a": {"y": [true, null], "x": "s"}, "c": {}, "d": []})", {"a.x", "a.y.0", "a.y.1", "b", "c", "d"}},
        {R"({"B": 1, "a": 2, "_": 3, "item2": 4, "item10": 5})", {"B", "_", "a", "item10", "item2"}},
        // U+FF21 sorts before U+1D11E by code point, after it in UTF-16.
        {R"({"\ud834\udd1e": 1, "\uff21": 2, "z": 3, "é": 4})", {"z", "é", "Ａ", "𝄞"}},
        {"{}", {""}},
        {"[]", {""}},
        {R"([1, [2, 3], {}, [[]]])", {"0", "1.0", "1.1", "2", "3.0"}},
        {R"({"x": 1, "x": {"y": 2}})", {"x.y"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(payloadJSONPaths(c.payload), c.expected) << c.payload;
    }
    EXPECT_EQ(jsonPaths(Json::parse(R"({"b": [5], "a": 1})"), {"root", "x"}),
              (std::vector<std::string>{"root.x.a", "root.x.b.0"}));
}

TEST(JsonPathTest, EveryListedPathLeadsBackToItsLeaf)
{
    const std::string payload =
        R"({"sensor": {"temperature": 21.5, "ok": true, "tags": ["a", "b"]}, "readings": [{"value": 7}], "none": null})";
    const auto root = parseJSONPayload(payload);
    ASSERT_TRUE(root);
    const auto paths = jsonPaths(*root, {});
    ASSERT_EQ(paths.size(), 6U);
    for (const auto& path : paths) {
        const Json* leaf = lookupJSONValue(*root, splitJSONPath(path));
        ASSERT_NE(leaf, nullptr) << path;
        EXPECT_EQ(formatJSONValue(*leaf), valueAt(payload, path)) << path;
    }
}

}  // namespace
}  // namespace telvane
