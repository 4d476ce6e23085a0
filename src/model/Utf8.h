#pragma once

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above
// U+10FFFF. Broker payloads, stored documents and typed text all pass here.

#include <cstddef>
#include <optional>
#include <string_view>

namespace telvane {

struct UTF8Scalar {
    char32_t value = 0;
    std::size_t length = 0;  // in bytes, 1 to 4
};

// The scalar whose encoding starts at byte `pos` of `text`; no value when
// the bytes there are not a well-formed scalar or `pos` is past the end.
[[nodiscard]] std::optional<UTF8Scalar> decodeUTF8Scalar(std::string_view text, std::size_t pos);

// U+FFFD, which stands for bytes that are not UTF-8, and its encoding.
inline constexpr char32_t kReplacementCharacter = U'\uFFFD';
inline constexpr std::string_view kReplacementCharacterUTF8 = "\xEF\xBF\xBD";

// The scalar at byte `pos` of `text` (which must be before its end), or
// U+FFFD one byte long where the bytes there are not a well-formed scalar:
// a scan over any bytes moves on, and each bad byte counts as one character.
[[nodiscard]] UTF8Scalar decodeUTF8ScalarOrReplacement(std::string_view text, std::size_t pos);

// True when the whole of `text` is well-formed.
[[nodiscard]] bool isValidUTF8(std::string_view text);

}  // namespace telvane
