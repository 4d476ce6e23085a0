// Every format over the same snapshots: the plain cases, hostile text in
// payloads and labels, staleness and the store's failure states.

#include "widget/TextFormats.h"
#include "widget/WidgetText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <utility>

namespace telvane::widget {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Out = nlohmann::json;

constexpr double kNow = 1'750'000'000.0;

Entry entry(std::string label, std::optional<std::string> value, double ageSeconds, bool stale = false)
{
    Entry e;
    e.label = std::move(label);
    e.value = std::move(value);
    e.topic = "home/t";
    e.receivedUnix = kNow - ageSeconds;
    e.ageSeconds = ageSeconds;
    e.isStale = stale;
    return e;
}

Snapshot snapshotWith(std::vector<Entry> entries, SnapshotState state = SnapshotState::ok)
{
    Snapshot snapshot;
    snapshot.state = state;
    snapshot.storePath = "/home/u/.local/share/group.org.telvane.Telvane/defaults.sqlite3";
    snapshot.nowUnix = kNow;
    snapshot.entries = std::move(entries);
    return snapshot;
}

std::string rendered(const Snapshot& snapshot, Format format, std::size_t maxLength = 40)
{
    FormatOptions options;
    options.format = format;
    options.maxLength = maxLength;
    return render(snapshot, options);
}

Out parsed(const std::string& line)
{
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    return Out::parse(line);  // throws, failing the test, when it is no JSON
}

TEST(Formats, EachFormatOfAPlainSnapshot)
{
    const auto snapshot = snapshotWith({entry("Temperatur", "21.5", 65), entry("Wind", std::nullopt, 0)});
    EXPECT_EQ(rendered(snapshot, Format::text), "Temperatur: 21.5  Wind: \xE2\x80\x93");
    EXPECT_EQ(rendered(snapshot, Format::polybar), "Temperatur: 21.5  Wind: \xE2\x80\x93");

    const auto waybar = parsed(rendered(snapshot, Format::waybar));
    EXPECT_EQ(waybar["text"], "Temperatur: 21.5  Wind: \xE2\x80\x93");
    EXPECT_EQ(waybar["tooltip"],
              "Temperatur: 21.5 \xE2\x80\x94 vor 1 min\nWind: \xE2\x80\x93 \xE2\x80\x94 gerade eben");
    EXPECT_EQ(waybar["class"], Out::array({"telvane", "ok"}));
    EXPECT_EQ(waybar["alt"], "ok");

    const auto i3blocks = parsed(rendered(snapshot, Format::i3blocks));
    EXPECT_EQ(i3blocks["full_text"], "Temperatur: 21.5  Wind: \xE2\x80\x93");
    EXPECT_EQ(i3blocks["short_text"], "21.5  \xE2\x80\x93");
    EXPECT_FALSE(i3blocks.contains("color"));

    const auto json = parsed(rendered(snapshot, Format::json));
    EXPECT_EQ(json["state"], "ok");
    ASSERT_EQ(json["entries"].size(), 2U);
    EXPECT_EQ(json["entries"][0]["label"], "Temperatur");
    EXPECT_EQ(json["entries"][0]["value"], "21.5");
    EXPECT_EQ(json["entries"][0]["topic"], "home/t");
    EXPECT_EQ(json["entries"][0]["received"], kNow - 65);
    EXPECT_EQ(json["entries"][0]["age"], 65);
    EXPECT_EQ(json["entries"][0]["ageText"], "vor 1 min");
    EXPECT_EQ(json["entries"][1]["value"], nullptr);
    EXPECT_EQ(json["entries"][1]["text"], "\xE2\x80\x93");

    FormatOptions lines;
    lines.lines = true;
    EXPECT_EQ(render(snapshot, lines), "Temperatur: 21.5\nWind: \xE2\x80\x93");
    lines.lines = false;
    lines.separator = " | ";
    EXPECT_EQ(render(snapshot, lines), "Temperatur: 21.5 | Wind: \xE2\x80\x93");
}

// Only the stale entries: a fresh one beside them stays readable.
TEST(Formats, StaleEntriesAreMarkedInEveryFormat)
{
    const auto snapshot =
        snapshotWith({entry("A", "1", 10), entry("B", "2", 3 * 3600 + 5, true)}, SnapshotState::stale);
    EXPECT_EQ(rendered(snapshot, Format::text), "A: 1  B: 2 (3 h)");
    EXPECT_EQ(rendered(snapshot, Format::polybar), "A: 1  %{F#888888}B: 2 (3 h)%{F-}");
    EXPECT_EQ(parsed(rendered(snapshot, Format::i3blocks))["color"], "#888888");
    // Pango takes the alpha of polybar's #aarrggbb apart.
    for (const auto& [colour, span] : {std::pair{"#888888", R"(<span foreground="#888888">)"},
                                       std::pair{"#80112233", R"(<span foreground="#112233" fgalpha="32896">)"}}) {
        FormatOptions options;
        options.format = Format::waybar;
        options.staleColor = colour;
        const auto waybar = parsed(render(snapshot, options));
        EXPECT_EQ(waybar["text"], std::string("A: 1  ") + span + "B: 2 (3 h)</span>");
        EXPECT_EQ(waybar["tooltip"],
                  std::string("A: 1 \xE2\x80\x94 gerade eben\n") + span + "B: 2 \xE2\x80\x94 vor 3 h</span>");
        EXPECT_EQ(waybar["class"], Out::array({"telvane", "stale"}));
    }
    const auto json = parsed(rendered(snapshot, Format::json));
    EXPECT_EQ(json["state"], "stale");
    EXPECT_EQ(json["entries"][1]["stale"], true);
    EXPECT_EQ(json["entries"][1]["ageText"], "vor 3 h");
}

// Payloads and labels come from any MQTT client on the network.
TEST(Formats, HostileTextStaysTextInEveryFormat)
{
    const std::string payload = "<b>x</b> & \"q\" 'a' %{F#f00}rot%{F-} %{A1:reboot:}klick%{A}\nzweite\r\nZeile\x1b[2J";
    const std::string label = "<i>L&</i>\n%{F#0f0}";
    const auto snapshot = snapshotWith({entry(label, payload, 1), entry(label, payload, 7200, true)});

    const std::string text = rendered(snapshot, Format::text, 0);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << "terminal escape passed through";
    EXPECT_THAT(text, HasSubstr("zweite Zeile"));

    const auto waybar = parsed(rendered(snapshot, Format::waybar, 0));
    for (const char* field : {"text", "tooltip"}) {
        std::string value = waybar[field];
        SCOPED_TRACE(value);
        EXPECT_THAT(value, HasSubstr("&lt;b&gt;x&lt;/b&gt; &amp; &quot;q&quot; &#39;a&#39;"));
        EXPECT_THAT(value, HasSubstr("&lt;i&gt;L&amp;&lt;/i&gt;"));
        // The stale entry's span is the only markup.
        for (const std::string tag : {R"(<span foreground="#888888">)", "</span>"}) {
            ASSERT_NE(value.find(tag), std::string::npos);
            value.erase(value.find(tag), tag.size());
        }
        EXPECT_EQ(value.find_first_of("<>"), std::string::npos);
    }

    const std::string polybar = rendered(snapshot, Format::polybar, 0);
    EXPECT_THAT(polybar, Not(HasSubstr("%{F#f00}")));
    EXPECT_THAT(polybar, Not(HasSubstr("%{A1")));
    EXPECT_THAT(polybar, Not(HasSubstr("%{F#0f0}")));
    EXPECT_EQ(polybar.find('\n'), std::string::npos);

    const auto i3blocks = parsed(rendered(snapshot, Format::i3blocks, 0));
    EXPECT_THAT(std::string(i3blocks["full_text"]), testing::StartsWith(oneLine(label) + ": " + oneLine(payload)));

    const auto json = parsed(rendered(snapshot, Format::json));
    EXPECT_EQ(json["entries"][0]["value"], payload) << "json carries the whole value";
    EXPECT_EQ(json["entries"][0]["label"], label);
}

TEST(Formats, LongValuesAreCutInBarsAndWholeInTooltipsAndJson)
{
    const std::string longValue = "äöü" + std::string(60, 'x');  // multi-byte at the start
    const auto snapshot = snapshotWith({entry("L", longValue, 1)});
    const std::string cut = "äöü" + std::string(6, 'x') + "\xE2\x80\xA6";
    EXPECT_EQ(rendered(snapshot, Format::text, 10), "L: " + cut);
    EXPECT_EQ(parsed(rendered(snapshot, Format::i3blocks, 10))["short_text"], cut);
    EXPECT_THAT(std::string(parsed(rendered(snapshot, Format::waybar, 10))["tooltip"]), HasSubstr(longValue));
    EXPECT_EQ(parsed(rendered(snapshot, Format::json, 10))["entries"][0]["value"], longValue);
    EXPECT_EQ(rendered(snapshot, Format::text, 0), "L: " + longValue);
    EXPECT_EQ(rendered(snapshot, Format::text, 63), "L: " + longValue) << "exactly the limit is not cut";
}

TEST(Formats, StoreStatesAreVisibleInEveryFormat)
{
    struct Case {
        SnapshotState state;
        const char* text;
        const char* explanation;
    };
    const std::vector<Case> cases{
        {SnapshotState::missing, "Telvane: kein Speicher", "Kein Telvane-Speicher unter"},
        {SnapshotState::error, "Telvane: Fehler", "lässt sich nicht lesen. Die Datei ist keine"},
        {SnapshotState::empty, "Telvane: keine Daten", "Noch keine Nachrichten"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto snapshot = snapshotWith({}, c.state);
        snapshot.reason = "Die Datei ist keine SQLite-Datenbank.";
        EXPECT_EQ(rendered(snapshot, Format::text), c.text);
        const auto waybar = parsed(rendered(snapshot, Format::waybar));
        EXPECT_EQ(waybar["class"][1], stateName(c.state));
        EXPECT_THAT(std::string(waybar["tooltip"]), HasSubstr(c.explanation));
        const auto i3blocks = parsed(rendered(snapshot, Format::i3blocks));
        EXPECT_EQ(i3blocks["full_text"], c.text);
        EXPECT_EQ(i3blocks.contains("color"), c.state != SnapshotState::empty);
        const auto json = parsed(rendered(snapshot, Format::json));
        EXPECT_EQ(json["state"], stateName(c.state));
        EXPECT_THAT(std::string(json["reason"]), HasSubstr(c.explanation));
        EXPECT_TRUE(json["entries"].empty());
    }
}

TEST(WidgetText, AgesAndCuttingAtTheirBoundaries)
{
    const std::vector<std::pair<double, std::string>> ages{
        {-5, "gerade eben"}, {59.9, "gerade eben"},   {60, "vor 1 min"},          {3599, "vor 59 min"},
        {3600, "vor 1 h"},   {47 * 3600, "vor 47 h"}, {48 * 3600, "vor 2 Tagen"}, {86400 * 1.5, "vor 36 h"},
    };
    for (const auto& [seconds, text] : ages) {
        EXPECT_EQ(ageText(seconds), text) << seconds;
    }
    EXPECT_EQ(shortAgeText(30), "30 s");
    EXPECT_EQ(shortAgeText(7200), "2 h");
    EXPECT_EQ(shortAgeText(86400 * 3), "3 d");

    EXPECT_EQ(cutText("abc", 3), "abc");
    EXPECT_EQ(cutText("abcd", 3), "ab\xE2\x80\xA6");
    EXPECT_EQ(cutText("abcd", 1), "\xE2\x80\xA6");
    EXPECT_EQ(oneLine("a\r\nb\nc\rd\te\xE2\x80\xA8"
                      "f"),
              "a b c d e f");
    EXPECT_EQ(oneLine("bad \xFF byte"), "bad \xEF\xBF\xBD byte");
    EXPECT_EQ(neutralisePolybar("50% %{F-}"), "50% %\xE2\x80\x8B{F-}");
}

}  // namespace
}  // namespace telvane::widget
