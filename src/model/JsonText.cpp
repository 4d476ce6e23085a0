#include "model/JsonText.h"

#include <cmath>

namespace telvane {

std::string encodeJsonDocument(const nlohmann::ordered_json& value)
{
    const std::string plain = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // Outside strings a JSON text has no "/", so every solidus in the compact
    // text belongs to a string and can be escaped in one pass.
    std::string escaped;
    escaped.reserve(plain.size() + plain.size() / 8);
    for (const char c : plain) {
        if (c == '/') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
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
