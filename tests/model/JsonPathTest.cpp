#include "model/JsonPath.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace telvane {
namespace {

std::optional<std::string> valueAt(const std::string& payload, std::string_view path)
{
    return MQTTMessage{"t", payload, Date{}}.value(path);
}

std::string show(const std::optional<std::string>& v)
{
    return v ? '"' + *v + '"' : "(none)";
}

std::string nested(int depth)
{
    return std::string(static_cast<std::size_t>(depth), '[') + "1" +
           std::string(static_cast<std::size_t>(depth), ']');
}

// "0.0.0..." with `depth` components.
std::string deepPath(int depth)
{
    std::string path = "0";
    for (int i = 1; i < depth; ++i) {
        path += ".0";
    }
    return path;
}

struct PathCase {
    std::string payload;
    std::string path;
    std::optional<std::string> expected;
};

TEST(JsonPathTest, ValueAtPathResolvesMembersAndIndices)
{
    const std::string readings = R"({"a": [{"v": "x"}, {"v": "y"}]})";
    const PathCase cases[] = {
        {R"({"t": 21.5})", "t", "21.5"},
        {R"({"t": 21.5})", ".t.", "21.5"},
        {R"({"t": 21.5})", "..t", "21.5"},
        {R"({"t": 21.5})", "", std::nullopt},
        {R"({"t": 21.5})", "t.x", std::nullopt},
        {R"({"t": 21.5})", "T", std::nullopt},
        {R"({"s": {"t": 1}})", "s..t", "1"},
        {readings, "a.1.v", "y"},
        {readings, "a.0.v", "x"},
        {readings, "a.2.v", std::nullopt},
        {readings, "a.-1.v", std::nullopt},
        {readings, "a.one.v", std::nullopt},
        {readings, "a", std::nullopt},
        {readings, "a.+1.v", "y"},
        {readings, "a.-0.v", "x"},
        {readings, "a.001.v", "y"},
        {readings, "a.+.v", std::nullopt},
        {readings, "a.-.v", std::nullopt},
        {readings, "a.1x.v", std::nullopt},
        {readings, "a. 1.v", std::nullopt},
        {readings, "a.9223372036854775807.v", std::nullopt},
        {readings, "a.9223372036854775808.v", std::nullopt},
        {readings, "a.99999999999999999999999.v", std::nullopt},
        {"[10, 20]", "1", "20"},
        {"[10, 20]", "01", "20"},
        {"[10, 20]", ".", std::nullopt},
        {"[10, 20]", "2", std::nullopt},
        {R"({"0": "k"})", "0", "k"},
        {R"([{"1": "member"}, "element"])", "0.1", "member"},
        {R"({"n": null})", "n", std::nullopt},
        {R"({"o": {}, "l": []})", "o", std::nullopt},
        {R"({"o": {}, "l": []})", "l", std::nullopt},
        {R"({"s": ""})", "s", ""},
        {R"({"s": "a\/b \u00e4 \ud834\udd1e"})", "s", "a/b ä 𝄞"},
        {R"({"b": true, "f": false})", "b", "true"},
        {R"({"b": true, "f": false})", "f", "false"},
        {R"({"k.x": 1})", "k.x", std::nullopt},
        {R"({"ä": "ü"})", "ä", "ü"},
        {R"({"a": 1, "a": 2})", "a", "2"},
        {" \n\t{\"a\": 1}\r\n ", "a", "1"},
        {"\xEF\xBB\xBF{\"a\": 1}", "a", "1"},
        {nested(512), deepPath(512), "1"},
        {nested(512), deepPath(513), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(valueAt(c.payload, c.path), c.expected)
            << "payload " << c.payload << ", path \"" << c.path << "\": got "
            << show(valueAt(c.payload, c.path));
    }
}

TEST(JsonPathTest, PayloadsThatAreNotAJsonObjectOrArrayHaveNoValuesAndNoPaths)
{
    const std::string payloads[] = {
        "",
        "42",
        R"("a")",
        "true",
        "null",
        "{",
        R"({"a": 1} x)",
        R"({"a": 1}{"a": 2})",
        R"({"a": 1,})",
        R"([1, 2,])",
        R"({'a': 1})",
        R"({a: 1})",
        R"(/* c */ {"a": 1})",
        R"({"a": 1} // c)",
        R"({"a": NaN})",
        R"({"a": Infinity})",
        R"({"a": 01})",
        R"({"a": .5})",
        R"({"a": 1.})",
        R"({"a": +1})",
        R"({"a": 0x10})",
        R"({"a": 1e400})",
        R"({"a": "\x"})",
        R"({"a": "\ud800"})",
        "{\"a\": \"\xFF\"}",
        "{\"a\": \"\xC3\"}",
        "{\"a\": \"tab\there\"}",
        std::string("{\"a\": 1}\0", 9),
        std::string("{\"a\": 1}\0}", 10),
        std::string("{\"a\": \"x\0\"}", 11),
        "eyJhIjogMX0=",  // a binary payload shows as Base64 text
        nested(513),
    };
    for (const auto& payload : payloads) {
        for (const char* path : {"a", "0", "."}) {
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
        {"0", "0"},
        {"-0", "0"},
        {"42", "42"},
        {"-17", "-17"},
        {"9223372036854775807", "9223372036854775807"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"18446744073709551615", "18446744073709551615"},
        {"18446744073709551616", "18446744073709551616"},
        {"-9223372036854775809", "-9223372036854775809"},
        {"123456789012345678901234567890", "123456789012345678901234567890"},
        // Fraction or exponent: shortest text that reads back the same.
        {"21.5", "21.5"},
        {"2.50", "2.5"},
        {"-0.125", "-0.125"},
        {"3.0", "3"},
        {"1e2", "100"},
        {"1E+2", "100"},
        {"1.5e1", "15"},
        {"123.456e-2", "1.23456"},
        {"0.1", "0.1"},
        {"0.30000000000000004", "0.30000000000000004"},
        {"1.00000000000000000001", "1"},
        {"-0.0", "-0"},
        {"0.0001", "0.0001"},
        {"9999999999999998.0", "9999999999999998"},
        // Outside 0.0001 <= |x| < 1e16: exponent form.
        {"0.00009", "9e-05"},
        {"1.5e-7", "1.5e-07"},
        {"1e16", "1e+16"},
        {"1e20", "1e+20"},
        {"-2.5e16", "-2.5e+16"},
        {"12345678901234567890.0", "1.2345678901234567e+19"},
        {"1.7976931348623157e308", "1.7976931348623157e+308"},
        {"5e-324", "5e-324"},
        {"1e-400", "0"},
    };
    for (const auto& c : cases) {
        const std::string payload = std::string(R"({"n": )") + c.json + "}";
        EXPECT_EQ(valueAt(payload, "n"), std::optional<std::string>(c.text)) << c.json;
    }
}

TEST(JsonPathTest, PathsListEveryLeafDepthFirstWithKeysInCodePointOrder)
{
    using Paths = std::vector<std::string>;
    const struct {
        std::string payload;
        Paths expected;
    } cases[] = {
        {R"({"b": 1, "a": {"y": [true, null], "x": "s"}, "c": {}, "d": []})",
         {"a.x", "a.y.0", "a.y.1", "b", "c", "d"}},
        {R"({"B": 1, "a": 2, "_": 3})", {"B", "_", "a"}},
        {R"({"item2": 1, "item10": 2})", {"item10", "item2"}},
        // U+FF21 sorts before U+1D11E by code point, after it in UTF-16.
        {R"({"\ud834\udd1e": 1, "\uff21": 2, "z": 3, "é": 4})", {"z", "é", "Ａ", "𝄞"}},
        {"{}", {""}},
        {"[]", {""}},
        {R"([1, [2, 3], {}, [[]]])", {"0", "1.0", "1.1", "2", "3.0"}},
        {R"([{"b": 1, "a": 2}, {"c": 3}])", {"0.a", "0.b", "1.c"}},
        {R"({"": 1})", {""}},
        {R"({"a.b": 1, "a": {"b": 2}})", {"a.b", "a.b"}},
        {R"({"x": 1, "x": {"y": 2}})", {"x.y"}},
        {nested(512), {deepPath(512)}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(payloadJSONPaths(c.payload), c.expected) << c.payload;
    }
}

TEST(JsonPathTest, PathsStartWithThePrefix)
{
    const Json object = Json::parse(R"({"b": [5], "a": 1})");
    EXPECT_EQ(jsonPaths(object, {"root", "x"}), (std::vector<std::string>{"root.x.a", "root.x.b.0"}));
    EXPECT_EQ(jsonPaths(Json(3), {"root", "x"}), std::vector<std::string>{"root.x"});
    EXPECT_EQ(jsonPaths(Json::object(), {"root"}), std::vector<std::string>{"root"});
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
        EXPECT_FALSE(leaf->is_object() && !leaf->empty()) << path;
        EXPECT_EQ(formatJSONValue(*leaf), MQTTMessage({"t", payload, Date{}}).value(path)) << path;
    }
    EXPECT_EQ(lookupJSONValue(*root, {}), &*root);
}

TEST(JsonPathTest, SplittingDropsEmptyPieces)
{
    using Parts = std::vector<std::string>;
    EXPECT_EQ(splitJSONPath(""), Parts{});
    EXPECT_EQ(splitJSONPath("..."), Parts{});
    EXPECT_EQ(splitJSONPath("a.b"), (Parts{"a", "b"}));
    EXPECT_EQ(splitJSONPath(".a..b."), (Parts{"a", "b"}));
    EXPECT_EQ(splitJSONPath(" a . b"), (Parts{" a ", " b"}));
}

}  // namespace
}  // namespace telvane
