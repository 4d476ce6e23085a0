// The real telvane executable against a real mosquitto on loopback, on the
// offscreen platform, with a store and runtime directory of its own, inside
// the test's private session bus; and its command line without a display.

#include "model/SharedStore.h"
#include "support/MosquittoBroker.h"
#include "support/ReloadListener.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace telvane {
namespace {

using namespace std::chrono_literals;

using test::ChildProcess;

constexpr auto kConfiguredTopic = "home/livingroom/climate";
constexpr auto kTimeout = 30s;  // generous: sanitizer builds start slowly

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::MosquittoBroker::isInstalled()) {
            GTEST_SKIP() << "mosquitto is not installed";
        }
        ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run under dbus-run-session";
        ::chmod(runtimeDir_.path().c_str(), 0700);
        // The children inherit these.
        ::setenv("XDG_DATA_HOME", dataHome_.path().c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", runtimeDir_.path().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ASSERT_TRUE(broker_.start()) << broker_.log();

        store_ = std::make_unique<SharedStore>(SharedStore::defaultDatabasePath());
        ASSERT_TRUE(std::filesystem::exists(*SharedStore::defaultDatabasePath()));
        MQTTConfig config;
        config.host = broker_.host();
        config.port = broker_.port();
        config.clientID = "Telvane-e2e";
        config.topics = {kConfiguredTopic};
        store_->saveConfig(config);
    }

    test::TempDir dataHome_;
    test::TempDir runtimeDir_;
    test::MosquittoBroker broker_;
    std::unique_ptr<SharedStore> store_;
};

TEST_F(EndToEnd, LaunchPrunesAndReloadsThenAnUnconfiguredTopicIsOnlyDiscovered)
{
    store_->appendMessages({MQTTMessage{kConfiguredTopic, R"({"temperature":20.5})", Date::fromUnix(1'700'000'000)},
                            MQTTMessage{"home/cellar/climate", R"({"temperature":12})", Date::fromUnix(1'700'000'001)}},
                           50);
    test::ReloadListener reloads;

    ChildProcess telvane({TELVANE_EXECUTABLE});
    ASSERT_TRUE(reloads.waitForCount(1, kTimeout));
    const auto launched = *store_->messagesSnapshot();
    ASSERT_EQ(launched.size(), 1U);
    EXPECT_EQ(launched[0].topic, kConfiguredTopic);

    // An unconfigured topic is discovered but neither stored as a message
    // nor reloaded for. (The widget's follow test takes a configured one
    // all the way to the widget.)
    ASSERT_TRUE(test::waitUntil(
        [this] {
            (void)broker_.publish("home/office/light", "on");
            return store_->loadDiscoveredTopics()->contains("home/office/light");
        },
        kTimeout))
        << broker_.log();
    EXPECT_EQ(reloads.settleAndCount(), 1);
    EXPECT_EQ(*store_->messagesSnapshot(), launched);

    EXPECT_EQ(telvane.stop(SIGTERM, 15s), 0);
}

// One instance per store: a second start hands over and exits, a killed
// instance's socket does not block the next start, and SIGINT ends it cleanly.
TEST_F(EndToEnd, SecondStartHandsOverAndAStaleSocketDoesNotBlockTheNext)
{
    test::ReloadListener reloads;
    ChildProcess first({TELVANE_EXECUTABLE});
    ASSERT_TRUE(reloads.waitForCount(1, kTimeout));

    EXPECT_EQ(ChildProcess({TELVANE_EXECUTABLE}).wait(15s), 0);
    EXPECT_EQ(::waitpid(first.pid(), nullptr, WNOHANG), 0) << "the first instance ended";
    EXPECT_EQ(reloads.settleAndCount(), 1) << "the second start launched by itself";

    EXPECT_EQ(first.stop(SIGKILL), -1);
    ChildProcess next({TELVANE_EXECUTABLE});
    ASSERT_TRUE(reloads.waitForCount(2, kTimeout)) << "the start after a killed instance did not launch";
    EXPECT_EQ(next.stop(SIGINT, 15s), 0);
}

// As help2man and a user in a terminal without a display ask: answered
// before the GUI starts, which would need a display.
TEST(CommandLineTest, HelpVersionAndUsageErrorsAreAnsweredWithoutADisplay)
{
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        ::unsetenv(variable);
    }
    using ::testing::HasSubstr;
    using ::testing::IsEmpty;
    using ::testing::StartsWith;
    const struct {
        std::vector<std::string> arguments;
        int status;
        ::testing::Matcher<std::string> out;
        ::testing::Matcher<std::string> err;
    } cases[] = {
        {{"--version"}, 0, "telvane " TELVANE_VERSION "\n", IsEmpty()},
        {{"-v"}, 0, "telvane " TELVANE_VERSION "\n", IsEmpty()},
        {{"--help"},
         0,
         AllOf(StartsWith("Usage: " TELVANE_EXECUTABLE " [options]\n"), HasSubstr("  --autostart ")),
         IsEmpty()},
        {{"--help-all"},
         0,
         AllOf(HasSubstr("  --autostart "), HasSubstr("  --platform <platformName[:options]>")),
         IsEmpty()},
        // Qt's own options are no usage error.
        {{"-style", "Fusion", "--version"}, 0, "telvane " TELVANE_VERSION "\n", IsEmpty()},
        {{"--bogus"}, 2, IsEmpty(), HasSubstr(": Unknown option 'bogus'.")},
        {{"--autostart", "extra"}, 2, IsEmpty(), HasSubstr(": unexpected argument 'extra'.")},
        {{"--style"}, 2, IsEmpty(), HasSubstr("Missing value after '--style'.")},
    };
    const test::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.front());
        std::vector<std::string> argv{TELVANE_EXECUTABLE};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(ChildProcess(argv, dir.path() / "out", dir.path() / "err").wait(15s), c.status);
        EXPECT_THAT(test::readFile(dir.path() / "out"), c.out);
        EXPECT_THAT(test::readFile(dir.path() / "err"), c.err);
    }
}

}  // namespace
}  // namespace telvane
