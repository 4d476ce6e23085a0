#include "ui/TextTrimming.h"

#include "model/Utf8.h"

#include <algorithm>
#include <array>

namespace telvane {

namespace {

// Unicode 15, general category Zs, plus the tab.
bool isBlankScalar(char32_t c)
{
    static constexpr std::array<char32_t, 7> kSingles{U'\t',     U' ',      U'\u00A0', U'\u1680',
                                                      U'\u202F', U'\u205F', U'\u3000'};
    return std::find(kSingles.begin(), kSingles.end(), c) != kSingles.end() || (c >= U'\u2000' && c <= U'\u200A');
}

// The blank scalar that ends right before `end`, or none.
std::optional<UTF8Scalar> blankBefore(std::string_view s, std::size_t end)
{
    // A scalar is at most four bytes long; its start is the last byte that
    // is not a continuation byte.
    for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
        if ((static_cast<unsigned char>(s[end - length]) & 0xC0u) != 0x80u) {
            const auto scalar = decodeUTF8Scalar(s, end - length);
            if (scalar && scalar->length == length && isBlankScalar(scalar->value)) {
                return scalar;
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
    while (true) {
        const auto scalar = decodeUTF8Scalar(text, begin);
        if (!scalar || !isBlankScalar(scalar->value)) {
            break;
        }
        begin += scalar->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const auto scalar = blankBefore(text, end);
        if (!scalar || end - scalar->length < begin) {
            break;
        }
        end -= scalar->length;
    }
    return std::string(text.substr(begin, end - begin));
}

bool isBlank(std::string_view text)
{
    return trimBlanks(text).empty();
}

}  // namespace telvane
