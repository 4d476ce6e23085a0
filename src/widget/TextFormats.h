#pragma once

// The snapshot as text for status bars, desktop widgets and scripts: one
// line per snapshot (several with `lines`), without the line break.
//
// - text: the entries as "label: value" joined by the separator.
// - waybar: JSON with text and tooltip (Pango markup: data escaped, stale
//   entries in <span foreground="#rrggbb">…</span>), class ["telvane",
//   state] and alt (the state).
// - polybar: the text with stale entries coloured by %{F#rrggbb}…%{F-}.
// - i3blocks: JSON with full_text, short_text (values only) and, when
//   something is stale or wrong, color.
// - json: the whole snapshot for scripts, with a digest of what it shows.
//
// Bars get one-line values cut to `maxLength` with "…", the trend mark
// ("↑", "↓", "→") when the snapshot has one, and "(3 h)" after a stale
// value: "Temperatur: 21.5 ↑ (3 h)". Tooltips and json carry whole values
// and every entry's age; json with a history read also each entry's
// "history" ([[unixTime, value], ...], oldest first), "historyMin" and
// "historyMax" (null without points).

#include "widget/Snapshot.h"

#include <cstddef>
#include <string>

namespace telvane::widget {

enum class Format { text, waybar, polybar, i3blocks, json };

struct FormatOptions {
    Format format = Format::text;
    std::string separator = "  ";
    bool lines = false;                  // text only: one entry per line
    std::size_t maxLength = 40;          // per value in bars; 0 = whole
    std::string staleColor = "#888888";  // #rrggbb or #aarrggbb, as polybar writes it
    std::string errorColor = "#e01b24";
};

// The rendered snapshot; several lines joined by "\n" only for text with
// `lines`. Valid UTF-8 whatever the store held.
[[nodiscard]] std::string render(const Snapshot& snapshot, const FormatOptions& options);

// The German one-liner for a snapshot without entries ("Telvane: kein
// Speicher"), and the sentence that explains it in tooltips.
[[nodiscard]] std::string stateText(const Snapshot& snapshot);
[[nodiscard]] std::string stateExplanation(const Snapshot& snapshot);

// The json format's "digest": 16 hex digits, the same for two snapshots that
// show the same (only "now" and the ages in seconds may differ), different
// as soon as a state, text, value, time of receipt, age text or staleness
// does.
[[nodiscard]] std::string snapshotDigest(const Snapshot& snapshot);

// "Temperatur: 21.5 (3 h)", one line, value cut to `maxLength`.
[[nodiscard]] std::string barEntryText(const Entry& entry, std::size_t maxLength);
// The entry's value as bars show it, cut to `maxLength`, with its trend
// mark; "–" for none.
[[nodiscard]] std::string barValueText(const Entry& entry, std::size_t maxLength);

}  // namespace telvane::widget
