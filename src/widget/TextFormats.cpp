#include "widget/TextFormats.h"

#include "widget/WidgetText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace telvane::widget {

namespace {

using OutJson = nlohmann::ordered_json;

constexpr const char* kNoValue = "\xE2\x80\x93";  // "–"

std::string dump(const OutJson& json)
{
    return json.dump(-1, ' ', false, OutJson::error_handler_t::replace);
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator)
{
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += parts[i];
    }
    return out;
}

// One tooltip line: whole value, age always.
std::string tooltipLine(const Entry& entry)
{
    std::string line = oneLine(entry.label);
    line += ": ";
    line += entry.value ? oneLine(*entry.value) : kNoValue;
    line += entry.ageSeconds ? " \xE2\x80\x94 " + ageText(*entry.ageSeconds) : " \xE2\x80\x94 keine Nachricht";
    return line;
}

// Pango markup that greys one stale entry inside the bar's text. Waybar's
// class can only colour the whole module, which would grey the fresh
// entries beside it too. `markup` is escaped already; the colour is one that
// the options accepted: #rrggbb, or #aarrggbb, whose alpha Pango takes apart.
std::string staleSpan(const std::string& markup, const std::string& colour)
{
    if (colour.size() != 7 && colour.size() != 9) {
        return markup;  // not a colour: the module's class still says stale
    }
    std::string span = "<span foreground=\"#" + colour.substr(colour.size() - 6) + "\"";
    if (colour.size() == 9) {
        const unsigned long alpha = std::stoul(colour.substr(1, 2), nullptr, 16);
        span += " fgalpha=\"" + std::to_string(std::max(1UL, alpha * 257)) + "\"";  // 1 to 65535
    }
    return span + ">" + markup + "</span>";
}

std::string waybarTooltip(const Snapshot& snapshot, const FormatOptions& options)
{
    if (snapshot.entries.empty()) {
        return escapePango(stateExplanation(snapshot));
    }
    std::vector<std::string> lines;
    lines.reserve(snapshot.entries.size());
    for (const auto& entry : snapshot.entries) {
        std::string line = escapePango(tooltipLine(entry));
        lines.push_back(entry.isStale ? staleSpan(line, options.staleColor) : std::move(line));
    }
    return joined(lines, "\n");
}

std::string renderText(const Snapshot& snapshot, const FormatOptions& options)
{
    if (snapshot.entries.empty()) {
        return stateText(snapshot);
    }
    std::vector<std::string> parts;
    parts.reserve(snapshot.entries.size());
    for (const auto& entry : snapshot.entries) {
        parts.push_back(barEntryText(entry, options.maxLength));
    }
    return joined(parts, options.lines ? std::string("\n") : options.separator);
}

std::string renderWaybar(const Snapshot& snapshot, const FormatOptions& options)
{
    std::vector<std::string> parts;
    for (const auto& entry : snapshot.entries) {
        std::string part = escapePango(barEntryText(entry, options.maxLength));
        parts.push_back(entry.isStale ? staleSpan(part, options.staleColor) : std::move(part));
    }
    OutJson json;
    json["text"] = parts.empty() ? escapePango(stateText(snapshot)) : joined(parts, escapePango(options.separator));
    json["tooltip"] = waybarTooltip(snapshot, options);
    json["class"] = OutJson::array({"telvane", stateName(snapshot.state)});
    json["alt"] = stateName(snapshot.state);
    return dump(json);
}

std::string renderPolybar(const Snapshot& snapshot, const FormatOptions& options)
{
    if (snapshot.entries.empty()) {
        const bool wrong = snapshot.state == SnapshotState::missing || snapshot.state == SnapshotState::error;
        const std::string text = neutralisePolybar(stateText(snapshot));
        return wrong ? "%{F" + options.errorColor + "}" + text + "%{F-}" : text;
    }
    std::vector<std::string> parts;
    for (const auto& entry : snapshot.entries) {
        std::string part = neutralisePolybar(barEntryText(entry, options.maxLength));
        parts.push_back(entry.isStale ? "%{F" + options.staleColor + "}" + part + "%{F-}" : std::move(part));
    }
    return joined(parts, neutralisePolybar(options.separator));
}

std::string renderI3blocks(const Snapshot& snapshot, const FormatOptions& options)
{
    OutJson json;
    if (snapshot.entries.empty()) {
        json["full_text"] = stateText(snapshot);
        json["short_text"] = stateText(snapshot);
    } else {
        std::vector<std::string> full;
        std::vector<std::string> values;
        for (const auto& entry : snapshot.entries) {
            full.push_back(barEntryText(entry, options.maxLength));
            values.push_back(barValueText(entry, options.maxLength));
        }
        json["full_text"] = joined(full, options.separator);
        json["short_text"] = joined(values, options.separator);
    }
    if (snapshot.state == SnapshotState::missing || snapshot.state == SnapshotState::error) {
        json["color"] = options.errorColor;
    } else if (snapshot.state == SnapshotState::stale) {
        json["color"] = options.staleColor;
    }
    return dump(json);
}

OutJson optionalNumber(const std::optional<double>& value)
{
    return value ? OutJson(*value) : OutJson(nullptr);
}

void addHistory(OutJson& json, const Entry& entry)
{
    OutJson points = OutJson::array();
    points.get_ref<OutJson::array_t&>().reserve(entry.history.size());
    for (const auto& point : entry.history) {
        points.push_back(OutJson::array({point.time, point.value}));
    }
    json["history"] = std::move(points);
    json["historyMin"] = entry.historyRange ? OutJson(entry.historyRange->min) : OutJson(nullptr);
    json["historyMax"] = entry.historyRange ? OutJson(entry.historyRange->max) : OutJson(nullptr);
}

const char* trendMark(Trend trend)
{
    switch (trend) {
    case Trend::rising: return " \xE2\x86\x91";   // " ↑"
    case Trend::falling: return " \xE2\x86\x93";  // " ↓"
    case Trend::steady: break;
    }
    return " \xE2\x86\x92";  // " →"
}

OutJson jsonOf(const Snapshot& snapshot)
{
    OutJson json;
    json["state"] = stateName(snapshot.state);
    json["text"] = snapshot.entries.empty() ? stateText(snapshot) : std::string();
    json["reason"] =
        snapshot.entries.empty() && snapshot.state != SnapshotState::ok ? stateExplanation(snapshot) : std::string();
    json["now"] = snapshot.nowUnix;
    OutJson entries = OutJson::array();
    for (const auto& entry : snapshot.entries) {
        OutJson e;
        e["label"] = entry.label;
        e["value"] = entry.value ? OutJson(*entry.value) : OutJson(nullptr);
        e["text"] = entry.value ? *entry.value : std::string(kNoValue);
        e["topic"] = entry.topic;
        e["path"] = entry.path ? OutJson(*entry.path) : OutJson(nullptr);
        e["received"] = optionalNumber(entry.receivedUnix);
        e["age"] = entry.ageSeconds ? OutJson(std::floor(*entry.ageSeconds)) : OutJson(nullptr);
        e["ageText"] = entry.ageSeconds ? ageText(*entry.ageSeconds) : std::string();
        e["stale"] = entry.isStale;
        entries.push_back(std::move(e));
    }
    json["entries"] = std::move(entries);
    return json;
}

static_assert(sizeof(HistoryPoint) == 4 * sizeof(double), "points are hashed as their bytes, without padding");

std::uint64_t fnv1a(std::uint64_t hash, const void* bytes, std::size_t size)
{
    const auto* byte = static_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ byte[i]) * 1099511628211ULL;
    }
    return hash;
}

// FNV-1a over the json without the clock's own fields ("now" and the ages
// in seconds change with every read, the age texts only when a widget's
// picture does), then over the entries' points as they are in memory:
// thousands of them would cost more to print twice than the rest.
std::string digestOf(const Snapshot& snapshot, OutJson json)
{
    json.erase("now");
    for (auto& entry : json["entries"]) {
        entry.erase("age");
    }
    const std::string text = dump(json);
    std::uint64_t hash = fnv1a(14695981039346656037ULL, text.data(), text.size());
    if (snapshot.hasHistory) {
        for (const auto& entry : snapshot.entries) {
            const auto count = entry.history.size();
            hash = fnv1a(hash, &count, sizeof count);
            hash = fnv1a(hash, entry.history.data(), count * sizeof(HistoryPoint));
        }
    }
    std::string hex(16, '0');
    for (auto digit = hex.rbegin(); digit != hex.rend(); ++digit, hash >>= 4U) {
        *digit = "0123456789abcdef"[hash & 0xFU];
    }
    return hex;
}

std::string renderJson(const Snapshot& snapshot)
{
    OutJson json = jsonOf(snapshot);
    const std::string digest = digestOf(snapshot, json);
    if (snapshot.hasHistory) {
        for (std::size_t i = 0; i < snapshot.entries.size(); ++i) {
            addHistory(json["entries"][i], snapshot.entries[i]);
        }
    }
    json["digest"] = digest;
    return dump(json);
}

}  // namespace

std::string barValueText(const Entry& entry, std::size_t maxLength)
{
    std::string text = entry.value ? cutText(oneLine(*entry.value), maxLength) : std::string(kNoValue);
    if (entry.trend) {
        text += trendMark(*entry.trend);
    }
    return text;
}

std::string barEntryText(const Entry& entry, std::size_t maxLength)
{
    std::string text = oneLine(entry.label);
    if (!text.empty()) {
        text += ": ";
    }
    text += barValueText(entry, maxLength);
    if (entry.isStale && entry.ageSeconds) {
        text += " (" + shortAgeText(*entry.ageSeconds) + ")";
    }
    return text;
}

std::string stateText(const Snapshot& snapshot)
{
    switch (snapshot.state) {
    case SnapshotState::missing: return "Telvane: kein Speicher";
    case SnapshotState::error: return "Telvane: Fehler";
    case SnapshotState::ok:
    case SnapshotState::stale:
    case SnapshotState::empty: break;
    }
    return "Telvane: keine Daten";
}

std::string stateExplanation(const Snapshot& snapshot)
{
    switch (snapshot.state) {
    case SnapshotState::missing:
        return "Kein Telvane-Speicher unter " + oneLine(snapshot.storePath)
               + ". Telvane ist noch nicht eingerichtet oder läuft unter einem anderen Benutzer.";
    case SnapshotState::error:
        return "Der Telvane-Speicher " + oneLine(snapshot.storePath) + " lässt sich nicht lesen. "
               + oneLine(snapshot.reason);
    case SnapshotState::ok:
    case SnapshotState::stale:
    case SnapshotState::empty: break;
    }
    return "Noch keine Nachrichten gespeichert und keine Anzeige-Elemente konfiguriert.";
}

std::string snapshotDigest(const Snapshot& snapshot)
{
    return digestOf(snapshot, jsonOf(snapshot));
}

std::string render(const Snapshot& snapshot, const FormatOptions& options)
{
    switch (options.format) {
    case Format::text: return renderText(snapshot, options);
    case Format::waybar: return renderWaybar(snapshot, options);
    case Format::polybar: return renderPolybar(snapshot, options);
    case Format::i3blocks: return renderI3blocks(snapshot, options);
    case Format::json: return renderJson(snapshot);
    }
    return {};
}

}  // namespace telvane::widget
