// telvane-widget --once as a bar runs it: a line and status 0 whatever the
// store holds, status 2 only for a mistaken command line.

#include "WidgetStore.h"
#include "support/MosquittoBroker.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace telvane::widget {
namespace {

using namespace std::chrono_literals;
using test::WidgetStore;

struct Output {
    int status = -1;
    std::string text;
};

Output runWidget(const std::vector<std::string>& arguments)
{
    telvane::test::TempDir dir;
    const auto out = dir.path() / "out";
    std::vector<std::string> argv{TELVANE_WIDGET_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t pid = telvane::test::spawnProcess(argv, out, dir.path() / "err");
    Output result;
    result.status = telvane::test::reapProcess(pid, 10s);
    std::ifstream in(out);
    result.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return result;
}

TEST(OnceProgram, PrintsOneLineWithStatusZeroWhateverTheStoreHolds)
{
    WidgetStore seeded;
    seeded.seed({MQTTMessage{"home/a", R"({"t":21.5})", Date::now()}}, {MQTTDisplayItem::make("home/a", "T", "t")});
    WidgetStore garbage;
    std::filesystem::create_directories(garbage.path().parent_path());
    std::ofstream(garbage.path()) << std::string(4096, 'x');

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--store", seeded.path().string()}, "T: 21.5\n"},
        {{"--once", "--format=i3blocks", "--store", seeded.path().string()},
         "{\"full_text\":\"T: 21.5\",\"short_text\":\"21.5\"}\n"},
        {{"--store", "/nonexistent/telvane/defaults.sqlite3"}, "Telvane: kein Speicher\n"},
        {{"--store", garbage.path().string()}, "Telvane: Fehler\n"},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(arguments.back());
        const auto output = runWidget(arguments);
        EXPECT_EQ(output.status, 0);
        EXPECT_EQ(output.text, expected);
    }
}

TEST(OnceProgram, MistakenCommandLineFailsAndHelpNamesEveryOption)
{
    EXPECT_EQ(runWidget({"--format", "xml"}).status, 2);
    const auto help = runWidget({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--once", "--follow", "--window", "--format", "--separator", "--lines", "--stale-after",
                               "--tick", "--max-length", "--store", "--history", "--trend"}) {
        EXPECT_NE(help.text.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(runWidget({"--version"}).text, std::string("telvane-widget ") + TELVANE_VERSION + "\n");
}

}  // namespace
}  // namespace telvane::widget
