#include "model/JsonText.h"

#include "model/Utf8.h"

#include <cmath>
#include <utility>

namespace telvane {

namespace {

using Json = nlohmann::ordered_json;

// The library's own text of a value, with every "/" escaped. Outside strings
// a compact JSON text has no "/", so each one belongs to a string.
void appendLibraryText(std::string& out, const Json& value)
{
    const std::string plain = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::size_t from = 0;
    for (std::size_t slash = plain.find('/'); slash != std::string::npos; slash = plain.find('/', from)) {
        out.append(plain, from, slash - from).append("\\/");
        from = slash + 1;
    }
    out.append(plain, from);
}

// Escapes well-formed UTF-8 as the library does (ensure_ascii off: only the
// quote, the backslash and control characters; the short forms where JSON
// has them, else \u00xx in lower case) plus "/". False, with `out`
// unchanged, at the first byte that is not part of a well-formed scalar.
bool appendWellFormedString(std::string& out, std::string_view text)
{
    const std::size_t start = out.size();
    out.reserve(start + text.size() + 2);
    out.push_back('"');
    std::size_t run = 0;  // first byte not yet copied
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const auto scalar = decodeUTF8Scalar(text, i);
            if (!scalar) {
                out.resize(start);
                return false;
            }
            i += scalar->length - 1;
            continue;
        }
        char shortForm = 0;
        switch (c) {
        case '"': shortForm = '"'; break;
        case '\\': shortForm = '\\'; break;
        case '/': shortForm = '/'; break;
        case '\b': shortForm = 'b'; break;
        case '\f': shortForm = 'f'; break;
        case '\n': shortForm = 'n'; break;
        case '\r': shortForm = 'r'; break;
        case '\t': shortForm = 't'; break;
        default:
            if (c >= 0x20) {
                continue;
            }
        }
        out.append(text, run, i - run);
        out.push_back('\\');
        if (shortForm != 0) {
            out.push_back(shortForm);
        } else {
            constexpr char kHex[] = "0123456789abcdef";
            out.append("u00");
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
        run = i + 1;
    }
    out.append(text, run);
    out.push_back('"');
    return true;
}

void appendValue(std::string& out, const Json& value)
{
    switch (value.type()) {
    case Json::value_t::object: {
        out.push_back('{');
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!std::exchange(first, false)) {
                out.push_back(',');
            }
            appendJsonString(out, it.key());
            out.push_back(':');
            appendValue(out, it.value());
        }
        out.push_back('}');
        break;
    }
    case Json::value_t::array: {
        out.push_back('[');
        bool first = true;
        for (const auto& element : value) {
            if (!std::exchange(first, false)) {
                out.push_back(',');
            }
            appendValue(out, element);
        }
        out.push_back(']');
        break;
    }
    case Json::value_t::string: appendJsonString(out, value.get_ref<const std::string&>()); break;
    default: appendLibraryText(out, value); break;  // numbers, booleans, null
    }
}

}  // namespace

// The library's dump does the same but escapes byte by byte, which made a
// 20 MB payload take a fifth of a second; strings are copied here in runs.
std::string encodeJsonDocument(const nlohmann::ordered_json& value)
{
    std::string text;
    appendValue(text, value);
    return text;
}

void appendJsonString(std::string& out, std::string_view text)
{
    // Broken UTF-8 is rare; the library's replacement of it is what stored
    // documents hold, so it stays the library's.
    if (!appendWellFormedString(out, text)) {
        appendLibraryText(out, Json(std::string(text)));
    }
}

std::optional<nlohmann::ordered_json> parseJsonDocument(std::string_view text)
{
    // The parser stops at a NUL byte as if the input ended there, which would
    // accept "{}\0anything". JSON text never holds a raw NUL.
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    auto parsed = nlohmann::ordered_json::parse(text.begin(), text.end(), nullptr,
                                                /*allow_exceptions=*/false,
                                                /*ignore_comments=*/false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

std::optional<std::uint16_t> jsonUInt16(const nlohmann::ordered_json& value)
{
    constexpr std::uint64_t kMax = 65535;
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > kMax) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(v);
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v < 0 || v > static_cast<std::int64_t>(kMax)) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(v);
    }
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!std::isfinite(v) || v < 0.0 || v > static_cast<double>(kMax) || std::trunc(v) != v) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(v);
    }
    return std::nullopt;
}

}  // namespace telvane
