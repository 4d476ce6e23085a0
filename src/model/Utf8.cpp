#include "model/Utf8.h"

#include <cstdint>

namespace telvane {

std::optional<UTF8Scalar> decodeUTF8Scalar(std::string_view text, std::size_t pos)
{
    if (pos >= text.size()) {
        return std::nullopt;
    }
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(pos);
    if (lead < 0x80) {
        return UTF8Scalar{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    // The bounds of the second byte rule out overlong forms, surrogates and
    // code points above U+10FFFF (RFC 3629, section 4).
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return std::nullopt;
    }
    if (text.size() - pos < length || byte(pos + 1) < low || byte(pos + 1) > high) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t b = byte(pos + i);
        if ((b & 0xC0u) != 0x80u) {
            return std::nullopt;
        }
        value = (value << 6) | (b & 0x3Fu);
    }
    return UTF8Scalar{value, length};
}

UTF8Scalar decodeUTF8ScalarOrReplacement(std::string_view text, std::size_t pos)
{
    return decodeUTF8Scalar(text, pos).value_or(UTF8Scalar{kReplacementCharacter, 1});
}

bool isValidUTF8(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        // ASCII runs are by far the most common; skip them without decoding.
        if (static_cast<std::uint8_t>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const auto scalar = decodeUTF8Scalar(text, pos);
        if (!scalar) {
            return false;
        }
        pos += scalar->length;
    }
    return true;
}

}  // namespace telvane
