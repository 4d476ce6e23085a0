#include "widget/WidgetOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

namespace telvane::widget {

namespace {

using Action = ParsedCommandLine::Action;

ParsedCommandLine usageError(std::string message)
{
    ParsedCommandLine result;
    result.action = Action::usageError;
    result.error = std::move(message);
    return result;
}

std::optional<Format> parseFormat(const std::string& name)
{
    static const std::map<std::string, Format> kFormats{{"text", Format::text},
                                                        {"waybar", Format::waybar},
                                                        {"polybar", Format::polybar},
                                                        {"i3blocks", Format::i3blocks},
                                                        {"json", Format::json}};
    const auto found = kFormats.find(name);
    return found == kFormats.end() ? std::nullopt : std::optional<Format>(found->second);
}

bool isColour(const std::string& text)
{
    if ((text.size() != 7 && text.size() != 9) || text[0] != '#') {
        return false;
    }
    return text.find_first_not_of("0123456789abcdefABCDEF", 1) == std::string::npos;
}

std::optional<std::size_t> parseCount(const std::string& text)
{
    std::size_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// Options that take a value, and whether it was given inline (--x=v).
const std::vector<std::string> kValueOptions{
    "--format",      "--separator",   "--stale-after",      "--tick",       "--store",        "--max-length",
    "--stale-color", "--error-color", "--quit-after-shown", "--screenshot", "--changed-from", "--history"};

bool takesValue(const std::string& name)
{
    return std::find(kValueOptions.begin(), kValueOptions.end(), name) != kValueOptions.end();
}

}  // namespace

std::optional<double> parseDuration(const std::string& text)
{
    double number = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, number, std::chars_format::fixed);
    if (ec != std::errc() || ptr == text.data() || !std::isfinite(number) || number < 0) {
        return std::nullopt;
    }
    static const std::map<std::string, double> kUnits{{"", 1},     {"s", 1},    {"m", 60},
                                                      {"min", 60}, {"h", 3600}, {"d", 86400}};
    const auto unit = kUnits.find(std::string(ptr, end));
    if (unit == kUnits.end()) {
        return std::nullopt;
    }
    return number * unit->second;
}

namespace {

// Sets the option `name` (one of kValueOptions) to `value`; the usage error
// when the value does not parse.
std::optional<std::string> applyValueOption(const std::string& name, const std::string& value, WidgetOptions& options)
{
    if (name == "--format") {
        const auto format = parseFormat(value);
        if (!format) {
            return "unknown format '" + value + "' (text, waybar, polybar, i3blocks, json)";
        }
        options.format.format = *format;
    } else if (name == "--separator") {
        options.format.separator = value;
    } else if (name == "--stale-after" || name == "--tick") {
        const auto seconds = parseDuration(value);
        if (!seconds || (name == "--tick" && *seconds < 1)) {
            return "invalid duration for " + name + ": '" + value + "'";
        }
        (name == "--tick" ? options.tickSeconds : options.staleAfterSeconds) = *seconds;
    } else if (name == "--history") {
        const auto seconds = parseDuration(value);
        if (!seconds || *seconds <= 0) {
            return "invalid duration for --history: '" + value + "'";
        }
        options.historySeconds = *seconds;
    } else if (name == "--store") {
        if (value.empty()) {
            return "--store needs a path";
        }
        options.storePath = value;
    } else if (name == "--max-length") {
        const auto count = parseCount(value);
        if (!count) {
            return "invalid number for --max-length: '" + value + "'";
        }
        options.format.maxLength = *count;
    } else if (name == "--quit-after-shown") {
        const auto count = parseCount(value);
        if (!count || *count > 3'600'000) {
            return "invalid number for --quit-after-shown: '" + value + "'";
        }
        options.quitAfterShownMs = static_cast<int>(*count);
    } else if (name == "--changed-from") {
        options.changedFrom = value;
    } else if (name == "--screenshot") {
        options.screenshotPath = value;
    } else if (name == "--stale-color" || name == "--error-color") {
        if (!isColour(value)) {
            return name + " needs a colour as #rrggbb or #aarrggbb";
        }
        (name == "--stale-color" ? options.format.staleColor : options.format.errorColor) = value;
    }
    return std::nullopt;
}

// Takes the option `name` when it is one without a value; false for others.
bool applyFlag(const std::string& name, WidgetOptions& options, std::vector<Mode>& modes)
{
    if (name == "--once") {
        modes.push_back(Mode::once);
    } else if (name == "--follow") {
        modes.push_back(Mode::follow);
    } else if (name == "--window") {
        modes.push_back(Mode::window);
    } else if (name == "--lines") {
        options.format.lines = true;
    } else if (name == "--trend") {
        options.trend = true;
    } else {
        return false;
    }
    return true;
}

// The usage error of options that each parsed but do not go together.
std::optional<std::string> combinationError(const WidgetOptions& options)
{
    if (options.format.lines && (options.mode != Mode::once || options.format.format != Format::text)) {
        return "--lines works only with --once and --format text";
    }
    if (options.historySeconds && options.format.format != Format::json) {
        return "--history works only with --format json";
    }
    if (options.trend && (options.mode == Mode::window || options.format.format == Format::json)) {
        return "--trend works only with the text formats (text, waybar, polybar, i3blocks)";
    }
    if (options.changedFrom && (options.mode != Mode::follow || options.format.format != Format::json)) {
        return "--changed-from works only with --follow and --format json";
    }
    return std::nullopt;
}

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments)
{
    ParsedCommandLine result;
    auto& options = result.options;
    std::vector<Mode> modes;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> value;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (takesValue(name) && !value) {
            if (i + 1 >= arguments.size()) {
                return usageError(name + " needs a value");
            }
            value = arguments[++i];
        } else if (!takesValue(name) && value) {
            return usageError(name + " takes no value");
        }
        if (name == "--help" || name == "-h") {
            result.action = Action::help;
            return result;
        }
        if (name == "--version") {
            result.action = Action::version;
            return result;
        }
        if (applyFlag(name, options, modes)) {
            continue;
        }
        if (!takesValue(name)) {
            return usageError("unknown argument '" + arguments[i] + "'");
        }
        if (auto error = applyValueOption(name, *value, options)) {
            return usageError(std::move(*error));
        }
    }
    if (modes.size() > 1) {
        return usageError("choose one of --once, --follow and --window");
    }
    if (!modes.empty()) {
        options.mode = modes.front();
    }
    if (auto error = combinationError(options)) {
        return usageError(std::move(*error));
    }
    return result;
}

std::string helpText()
{
    return R"(Usage: telvane-widget [--once | --follow | --window] [OPTION]...
Shows the values that Telvane keeps in its store, in status bars (Waybar,
polybar, i3blocks), desktop widgets (KDE Plasma, Conky, eww), scripts, or a
small window of its own. It reads the store read-only and never writes it.

With display items it shows one entry per item: its label and the value at
its path in the latest message of its topic, a dash when there is none. Without
display items it shows the stored messages, newest first, each named by its
display name or topic.

Modes:
      --once               print one snapshot and exit (the default); exits
                           with status 0 also when the store is missing or
                           unreadable, which the output then says
      --follow             print a snapshot, then a new line after each
                           reload signal of Telvane and every --tick; a line
                           only when it differs from the last one. Ends with
                           status 0 on SIGTERM, SIGINT or a closed stdout.
                           Without a session bus it polls the store instead.
      --window             a small desktop window with one card per entry,
                           following the store like --follow; on X11 below
                           other windows, on every workspace
      --changed-from=DIGEST
                           with --follow and --format json: print nothing
                           while the snapshot's "digest" is DIGEST, then the
                           first snapshot that differs, and exit (for desktop
                           widgets that run a command again when it ends)

Options:
      --format=FORMAT      text (default), waybar, polybar, i3blocks or json
      --separator=TEXT     between entries on one line (default: two spaces)
      --lines              with --once and text: one entry per line
      --stale-after=TIME   mark entries older than TIME as stale (default 1h;
                           0: never); TIME is seconds or has a unit s, m, h, d
      --tick=TIME          with --follow and --window: read again every TIME
                           so that ages move (default 30s, at least 1s)
      --max-length=N       cut values in bars to N characters, the last an
                           ellipsis
                           (default 40; 0: never cut)
      --stale-color=COLOR  colour of stale entries in waybar, polybar and
                           i3blocks (default #888888)
      --error-color=COLOR  colour when the store is missing or unreadable
                           (default #e01b24)
      --history=TIME       with --format json: add each entry's kept values of
                           the last TIME (at most 7d), at most 300 points
      --trend              with the text formats: "↑", "↓" or "→" after each
                           value, how it moved over the last hour (a change
                           under 1% of the day's range is "→"); nothing with
                           fewer than two values in the hour
      --store=PATH         read this store instead of Telvane's default one
  -h, --help               show this help and exit
      --version            show the version and exit

Formats:
  text      Temperatur: 21.5  Wind: 7.2 (3 h); with --trend
            Temperatur: 21.5 ↑  Wind: 7.2 → (3 h)
  waybar    {"text": ..., "tooltip": ..., "class": ["telvane", STATE],
            "alt": STATE}; Pango markup with the data escaped and stale
            entries in <span foreground="#888888">...</span>
  polybar   the text, stale entries in %{F#888888}...%{F-}
  i3blocks  {"full_text": ..., "short_text": values only, "color": ...}
  json      {"state": STATE, "entries": [{"label", "value", "text",
            "topic", "path", "received", "age", "ageText", "stale"}],
            "digest": ..., ...}; with --history each entry also has
            "history": [[UNIXTIME, VALUE], ...] (oldest first),
            "historyMin" and "historyMax" (null without points)
  STATE is ok, stale, empty, missing or error.
)";
}

}  // namespace telvane::widget
