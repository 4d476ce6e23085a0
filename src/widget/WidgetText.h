#pragma once

// The small text rules every format shares: one line out of any text, cut
// to a length, the German age texts, and escaping for the bars' markup.

#include <cstddef>
#include <string>
#include <string_view>

namespace telvane::widget {

// `text` on one line: line breaks (CR LF counts as one), other control
// characters and the Unicode line and paragraph separators become spaces,
// so that neither a bar nor a terminal reads them as commands. Bytes that
// are not UTF-8 become U+FFFD.
[[nodiscard]] std::string oneLine(std::string_view text);

// At most `maxCharacters` code points of `text`, the last one "…" when it
// was cut. 0 means no limit.
[[nodiscard]] std::string cutText(std::string_view text, std::size_t maxCharacters);

// "gerade eben", "vor 12 s"… for tooltips and json: "vor 3 min",
// "vor 5 h", "vor 1 Tag", "vor 3 Tagen".
[[nodiscard]] std::string ageText(double seconds);
// The short form after a stale value in bars: "3 min", "5 h", "3 d".
[[nodiscard]] std::string shortAgeText(double seconds);

// Pango markup: &, <, >, " and ' as entities.
[[nodiscard]] std::string escapePango(std::string_view text);

// polybar reads "%{" as the start of a formatting tag; a zero-width space
// between the two keeps data from opening one.
[[nodiscard]] std::string neutralisePolybar(std::string_view text);

}  // namespace telvane::widget
