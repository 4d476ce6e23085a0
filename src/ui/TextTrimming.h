#pragma once

// Trimming of user input where it is stored. Blanks are the tab and the
// Unicode space separators (general category Zs); line breaks are not blanks
// and stay.

#include <string>
#include <string_view>

namespace telvane {

// `text` without leading and trailing blanks. Text that is not valid UTF-8 is
// trimmed only up to the first invalid byte from either end.
[[nodiscard]] std::string trimBlanks(std::string_view text);

// True when `text` is empty or holds only blanks.
[[nodiscard]] bool isBlank(std::string_view text);

}  // namespace telvane
