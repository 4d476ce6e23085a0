#include "widget/WidgetText.h"

#include "model/Utf8.h"

#include <cmath>

namespace telvane::widget {

namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026
constexpr std::string_view kZeroWidthSpace = "\xE2\x80\x8B";

bool isLineBreakOrControl(char32_t c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029;
}

std::string count(long long value, const char* unit)
{
    return std::to_string(value) + unit;
}

}  // namespace

std::string oneLine(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto scalar = decodeUTF8ScalarOrReplacement(text, pos);
        if (scalar.value == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') {
            ++pos;  // CR LF is one break
            continue;
        }
        if (isLineBreakOrControl(scalar.value)) {
            out += ' ';
        } else if (scalar.value == kReplacementCharacter) {
            out += kReplacementCharacterUTF8;  // the bad byte's stand-in, or a real U+FFFD
        } else {
            out.append(text.substr(pos, scalar.length));
        }
        pos += scalar.length;
    }
    return out;
}

std::string cutText(std::string_view text, std::size_t maxCharacters)
{
    if (maxCharacters == 0) {
        return std::string(text);
    }
    // The byte offset after each of the first maxCharacters code points.
    std::size_t pos = 0;
    std::size_t characters = 0;
    std::size_t keepUpTo = 0;  // bytes of the first maxCharacters - 1 code points
    while (pos < text.size()) {
        const std::size_t length = decodeUTF8ScalarOrReplacement(text, pos).length;
        ++characters;
        if (characters == maxCharacters) {
            keepUpTo = pos;
        }
        if (characters > maxCharacters) {
            return std::string(text.substr(0, keepUpTo)) + std::string(kEllipsis);
        }
        pos += length;
    }
    return std::string(text);
}

std::string ageText(double seconds)
{
    const auto whole = static_cast<long long>(std::floor(std::max(0.0, seconds)));
    if (whole < 60) {
        return "gerade eben";
    }
    if (whole < 3600) {
        return "vor " + count(whole / 60, " min");
    }
    if (whole < 48LL * 3600) {
        return "vor " + count(whole / 3600, " h");
    }
    const long long days = whole / 86400;
    return "vor " + count(days, days == 1 ? " Tag" : " Tagen");
}

std::string shortAgeText(double seconds)
{
    const auto whole = static_cast<long long>(std::floor(std::max(0.0, seconds)));
    if (whole < 60) {
        return count(whole, " s");
    }
    if (whole < 3600) {
        return count(whole / 60, " min");
    }
    if (whole < 48LL * 3600) {
        return count(whole / 3600, " h");
    }
    return count(whole / 86400, " d");
}

std::string escapePango(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string neutralisePolybar(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '{') {
            out += kZeroWidthSpace;
        }
    }
    return out;
}

}  // namespace telvane::widget
