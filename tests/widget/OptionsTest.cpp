// The command line: what each option sets and what is refused.

#include "widget/WidgetOptions.h"

#include <gtest/gtest.h>

namespace telvane::widget {
namespace {

using Action = ParsedCommandLine::Action;

TEST(Options, DefaultsAndEveryOption)
{
    const auto defaults = parseCommandLine({});
    ASSERT_EQ(defaults.action, Action::run);
    EXPECT_EQ(defaults.options.mode, Mode::once);
    EXPECT_EQ(defaults.options.format.format, Format::text);
    EXPECT_EQ(defaults.options.format.separator, "  ");
    EXPECT_EQ(defaults.options.staleAfterSeconds, 3600);
    EXPECT_EQ(defaults.options.tickSeconds, 30);

    const auto all =
        parseCommandLine({"--follow", "--format=waybar", "--separator", " | ", "--stale-after", "90m", "--tick=5s",
                          "--store", "/tmp/s.db", "--max-length=0", "--stale-color", "#112233"});
    ASSERT_EQ(all.action, Action::run) << all.error;
    EXPECT_EQ(all.options.mode, Mode::follow);
    EXPECT_EQ(all.options.format.format, Format::waybar);
    EXPECT_EQ(all.options.format.separator, " | ");
    EXPECT_EQ(all.options.staleAfterSeconds, 5400);
    EXPECT_EQ(all.options.tickSeconds, 5);
    EXPECT_EQ(all.options.storePath, std::filesystem::path("/tmp/s.db"));
    EXPECT_EQ(all.options.format.maxLength, 0U);
    EXPECT_EQ(all.options.format.staleColor, "#112233");

    EXPECT_TRUE(parseCommandLine({"--once", "--lines"}).options.format.lines);
    EXPECT_EQ(parseCommandLine({"--window"}).options.mode, Mode::window);
    EXPECT_EQ(parseCommandLine({"--separator="}).options.format.separator, "");
    EXPECT_EQ(parseCommandLine({"--format=json", "--history", "7d"}).options.historySeconds, 7 * 86400);
    EXPECT_TRUE(parseCommandLine({"--format=polybar", "--trend"}).options.trend);
    EXPECT_EQ(parseCommandLine({"--help"}).action, Action::help);
    EXPECT_EQ(parseCommandLine({"--version"}).action, Action::version);
}

TEST(Options, MistakesAreRefusedWithAReason)
{
    const std::vector<std::vector<std::string>> refused{
        {"--format", "xml"},
        {"--format"},
        {"--stale-after", "-1"},
        {"--stale-after", "1y"},
        {"--tick", "0"},
        {"--tick", "0.5"},
        {"--max-length", "-3"},
        {"--max-length", "many"},
        {"--stale-color", "red"},
        {"--once", "--follow"},
        {"--follow", "--lines"},
        {"--lines", "--format=json"},
        {"--follow", "--changed-from=0123456789abcdef"},
        {"--format=json", "--changed-from=0123456789abcdef"},
        {"--store="},
        {"--history=24h"},
        {"--format=json", "--history=0"},
        {"--format=json", "--trend"},
        {"--window", "--trend"},
        {"--once=yes"},
        {"extra"},
    };
    for (const auto& arguments : refused) {
        const auto result = parseCommandLine(arguments);
        EXPECT_EQ(result.action, Action::usageError) << arguments[0];
        EXPECT_FALSE(result.error.empty());
    }
}

TEST(Options, Durations)
{
    const std::vector<std::pair<std::string, std::optional<double>>> cases{
        {"0", 0},
        {"90", 90},
        {"90s", 90},
        {"15m", 900},
        {"15min", 900},
        {"2h", 7200},
        {"1d", 86400},
        {"1.5h", 5400},
        {"", std::nullopt},
        {"h", std::nullopt},
        {"-5", std::nullopt},
        {"5 h", std::nullopt},
        {"nan", std::nullopt},
        {"1e3", std::nullopt},
    };
    for (const auto& [text, seconds] : cases) {
        EXPECT_EQ(parseDuration(text), seconds) << text;
    }
}

}  // namespace
}  // namespace telvane::widget
