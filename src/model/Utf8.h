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

// True when the whole of `text` is well-formed.
[[nodiscard]] bool isValidUTF8(std::string_view text);

}  // namespace telvane
