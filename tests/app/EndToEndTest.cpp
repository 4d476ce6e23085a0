// The real telvane executable against a real mosquitto on loopback, on the
// offscreen platform, with a store and runtime directory of its own, inside
// the test's private session bus.

#include "model/SharedStore.h"
#include "support/MosquittoBroker.h"
#include "support/ReloadListener.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace telvane {
namespace {

using namespace std::chrono_literals;

constexpr auto kConfiguredTopic = "home/livingroom/climate";
constexpr auto kStartTimeout = 30s;   // generous: sanitizer builds start slowly
constexpr auto kExitTimeout = 15s;

bool isRunning(pid_t pid)
{
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = kStartTimeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

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
        ASSERT_TRUE(store_->isAvailable());
        MQTTConfig config;
        config.host = broker_.host();
        config.port = broker_.port();
        config.clientID = "Telvane-e2e";
        config.topics = {kConfiguredTopic};
        store_->saveConfig(config);
    }

    void TearDown() override
    {
        for (const pid_t pid : pids_) {
            if (isRunning(pid)) {
                ::kill(pid, SIGKILL);
            }
            test::reapProcess(pid, kExitTimeout);
        }
    }

    pid_t startTelvane()
    {
        const pid_t pid = test::spawnProcess({TELVANE_EXECUTABLE});
        pids_.push_back(pid);
        return pid;
    }

    // Ends `pid` with `signal` and returns its exit code (-1 when it had to be killed).
    int endWith(pid_t pid, int signal)
    {
        ::kill(pid, signal);
        const int code = test::reapProcess(pid, kExitTimeout);
        std::erase(pids_, pid);
        return code;
    }

    // Publishes on a probe topic until it shows up as discovered: from then
    // on the client's subscriptions, sent before "#", are in place.
    bool waitForSubscriptions()
    {
        return waitUntil([this] {
            (void)broker_.publish("probe/ready", "1");
            return store_->loadDiscoveredTopics()->contains("probe/ready");
        });
    }

    test::TempDir dataHome_;
    test::TempDir runtimeDir_;
    test::MosquittoBroker broker_;
    std::unique_ptr<SharedStore> store_;
    std::vector<pid_t> pids_;
};

TEST_F(EndToEnd, LaunchPrunesAndReloadsThenStoresOnlyConfiguredTopics)
{
    store_->saveMessages({
        MQTTMessage{kConfiguredTopic, R"({"temperature":20.5})", Date::fromUnix(1'700'000'000)},
        MQTTMessage{"home/cellar/climate", R"({"temperature":12})", Date::fromUnix(1'700'000'001)},
    });
    test::ReloadListener reloads;

    const pid_t telvane = startTelvane();
    ASSERT_TRUE(reloads.waitForCount(1, kStartTimeout));
    const auto launched = store_->loadMessages();
    ASSERT_EQ(launched.size(), 1U);
    EXPECT_EQ(launched[0].topic, kConfiguredTopic);

    // Other topics are discovered but neither stored as messages nor reloaded for.
    ASSERT_TRUE(waitForSubscriptions()) << broker_.log();
    ASSERT_TRUE(broker_.publish("home/office/light", "on").succeeded());
    ASSERT_TRUE(waitUntil([this] { return store_->loadDiscoveredTopics()->contains("home/office/light"); }));
    EXPECT_EQ(reloads.settleAndCount(), 1);

    ASSERT_TRUE(broker_.publish(kConfiguredTopic, R"({"temperature":21.5,"humidity":45})").succeeded());
    ASSERT_TRUE(waitUntil([this] {
        const auto messages = store_->loadMessages();
        return !messages.empty() && messages[0].payload == R"({"temperature":21.5,"humidity":45})";
    }));
    EXPECT_EQ(reloads.settleAndCount(), 2);

    const auto messages = store_->loadMessages();
    ASSERT_EQ(messages.size(), 1U) << "the new message replaces the topic's old one";
    EXPECT_EQ(messages[0].topic, kConfiguredTopic);
    const auto discovered = store_->loadDiscoveredTopics();
    EXPECT_TRUE(discovered->contains(kConfiguredTopic));
    EXPECT_FALSE(discovered->contains("home/cellar/climate"));

    EXPECT_EQ(endWith(telvane, SIGTERM), 0);
}

TEST_F(EndToEnd, SecondStartHandsOverToTheRunningInstanceAndExits)
{
    test::ReloadListener reloads;
    const pid_t first = startTelvane();
    ASSERT_TRUE(reloads.waitForCount(1, kStartTimeout));

    const pid_t second = startTelvane();
    EXPECT_EQ(test::reapProcess(second, kExitTimeout), 0);
    std::erase(pids_, second);
    EXPECT_TRUE(isRunning(first));
    // The second start never launched: no reload of its own.
    EXPECT_EQ(reloads.settleAndCount(), 1);

    EXPECT_EQ(endWith(first, SIGTERM), 0);
}

TEST_F(EndToEnd, SocketLeftByAKilledInstanceDoesNotBlockTheNextStart)
{
    test::ReloadListener reloads;
    const pid_t killed = startTelvane();
    ASSERT_TRUE(reloads.waitForCount(1, kStartTimeout));
    EXPECT_EQ(endWith(killed, SIGKILL), -1);

    const pid_t next = startTelvane();
    ASSERT_TRUE(reloads.waitForCount(2, kStartTimeout)) << "the next start did not launch";
    EXPECT_TRUE(isRunning(next));

    EXPECT_EQ(endWith(next, SIGTERM), 0);
}

TEST_F(EndToEnd, TerminationSignalsEndItCleanly)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        test::ReloadListener reloads;
        const pid_t telvane = startTelvane();
        ASSERT_TRUE(reloads.waitForCount(1, kStartTimeout));
        EXPECT_EQ(endWith(telvane, signal), 0);
    }
}

}  // namespace
}  // namespace telvane
