#pragma once

// The command line of telvane-widget. Parsing is a pure function so that
// the text modes and the window read it the same way.

#include "widget/TextFormats.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace telvane::widget {

enum class Mode { once, follow, window };

struct WidgetOptions {
    Mode mode = Mode::once;
    FormatOptions format;
    double staleAfterSeconds = 3600;  // 0: never stale
    double tickSeconds = 30;
    std::optional<std::filesystem::path> storePath;  // none: the default store
    // --history (json only): each entry's points over this many seconds.
    std::optional<double> historySeconds;
    bool trend = false;  // --trend (the text formats): a mark after each value
    // --changed-from: --follow prints only the first snapshot whose digest
    // differs from this one, then ends.
    std::optional<std::string> changedFrom;
    // Not in --help, for the window's benchmark and picture: print "shown"
    // once painted and quit this many ms later; save the window to a PNG.
    std::optional<int> quitAfterShownMs;
    std::optional<std::filesystem::path> screenshotPath;
};

struct ParsedCommandLine {
    enum class Action { run, help, version, usageError };
    Action action = Action::run;
    WidgetOptions options;
    std::string error;  // for usageError: what was wrong, one line
};

// Parses the arguments after the program name. "--name value" and
// "--name=value" both work.
[[nodiscard]] ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

// A duration as "90", "90s", "15m", "15min", "2h", "1d" or "0"; no value for
// anything else (negative, no number, unknown unit).
[[nodiscard]] std::optional<double> parseDuration(const std::string& text);

// --help, which is also the manual page's source.
[[nodiscard]] std::string helpText();

}  // namespace telvane::widget
