#include "ui/Blanks.h"

#include <array>
#include <cstdint>
#include <optional>

namespace telvane {

namespace {

// Unicode 15, general category Zs, plus the tab.
bool isBlankScalar(char32_t c)
{
    static constexpr std::array<char32_t, 7> kSingles{
        U'\t', U' ', U'\u00A0', U'\u1680', U'\u202F', U'\u205F', U'\u3000'};
    for (const char32_t s : kSingles) {
        if (c == s) {
            return true;
        }
    }
    return c >= U'\u2000' && c <= U'\u200A';
}

struct Scalar {
    char32_t value;
    std::size_t length;  // bytes
};

// The scalar that starts at `pos`, or none when the bytes there are not
// well-formed UTF-8.
std::optional<Scalar> decodeAt(std::string_view s, std::size_t pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t lead = byte(pos);
    std::size_t length = 0;
    char32_t value = 0;
    if (lead < 0x80) {
        return Scalar{lead, 1};
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07u;
    } else {
        return std::nullopt;
    }
    if (pos + length > s.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t b = byte(pos + i);
        if ((b & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (b & 0x3Fu);
    }
    return Scalar{value, length};
}

// Start of the scalar that ends right before `end`, or none.
std::optional<std::size_t> previousStart(std::string_view s, std::size_t end)
{
    std::size_t start = end;
    for (int i = 0; i < 4 && start > 0; ++i) {
        --start;
        if ((static_cast<std::uint8_t>(s[start]) & 0xC0) != 0x80) {
            const auto scalar = decodeAt(s, start);
            if (scalar && start + scalar->length == end) {
                return start;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string trimBlanks(std::string_view text)
{
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto scalar = decodeAt(text, begin);
        if (!scalar || !isBlankScalar(scalar->value)) {
            break;
        }
        begin += scalar->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const auto start = previousStart(text, end);
        if (!start || *start < begin) {
            break;
        }
        const auto scalar = decodeAt(text, *start);
        if (!scalar || !isBlankScalar(scalar->value)) {
            break;
        }
        end = *start;
    }
    return std::string(text.substr(begin, end - begin));
}

bool isBlank(std::string_view text)
{
    return trimBlanks(text).empty();
}

}  // namespace telvane
