// telvane-widget --follow end to end: the real telvane with a real
// mosquitto under the test's private session bus, ticks, its input, and the
// ways the process is ended. When it reads and prints is StoreFollower's,
// tested at its seam; a storm of signals is the widget benchmark's.

#include "WidgetProcess.h"
#include "model/SharedStore.h"
#include "platform/DBusReloadSignal.h"
#include "support/MosquittoBroker.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>

namespace telvane::widget {
namespace {

using namespace std::chrono_literals;
using test::WidgetProcess;

class Follow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run under dbus-run-session";
        ::chmod(runtimeDir_.path().c_str(), 0700);
        ::setenv("XDG_DATA_HOME", dataHome_.path().c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", runtimeDir_.path().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        storePath_ = *SharedStore::defaultDatabasePath();
    }

    std::unique_ptr<WidgetProcess> startWidget(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {TELVANE_WIDGET_EXECUTABLE, "--follow"});
        return std::make_unique<WidgetProcess>(arguments);
    }

    // Telvane's part without Telvane: a write, then the reload signal.
    void writeValue(SharedStore& store, const std::string& value)
    {
        store.appendMessages({MQTTMessage{"t", value, Date::now()}}, 50);
        reload_.emitReload();
    }

    telvane::test::TempDir dataHome_;
    telvane::test::TempDir runtimeDir_;
    std::filesystem::path storePath_;
    DBusReloadSignal reload_{DBusReloadSignal::sessionBusAddress()};
};

TEST_F(Follow, AMessageFromTheBrokerShowsAsANewLineWithinASecond)
{
#ifndef TELVANE_EXECUTABLE
    GTEST_SKIP() << "built without the application";
#else
    if (!telvane::test::MosquittoBroker::isInstalled()) {
        GTEST_SKIP() << "mosquitto is not installed";
    }
    telvane::test::MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    {
        SharedStore store(storePath_);
        MQTTConfig config;
        config.host = broker.host();
        config.port = broker.port();
        config.clientID = "Telvane-widget-e2e";
        config.topics = {"home/room"};
        store.saveConfig(config);
        store.saveDisplayItems({MQTTDisplayItem::make("home/room", "Temperatur", "t")});
    }
    auto widget = startWidget({});
    EXPECT_EQ(widget->nextLine(10s), "Temperatur: \xE2\x80\x93");
    const pid_t telvane = telvane::test::spawnProcess({TELVANE_EXECUTABLE});

    // Until Telvane has connected and subscribed, publishes are lost.
    bool connected = false;
    for (const auto deadline = std::chrono::steady_clock::now() + 30s;
         !connected && std::chrono::steady_clock::now() < deadline;) {
        (void)broker.publish("home/room", R"({"t":1})");
        connected = widget->nextLine(500ms) == "Temperatur: 1";
    }
    ASSERT_TRUE(connected) << broker.log();
    ASSERT_TRUE(broker.publish("home/room", R"({"t":21.5})").succeeded());
    const auto published = std::chrono::steady_clock::now();
    EXPECT_EQ(widget->nextLine(1s), "Temperatur: 21.5");  // lines come only for a change
    EXPECT_LT(std::chrono::steady_clock::now() - published, 1s);

    EXPECT_EQ(widget->stop(SIGTERM, 5s), 0);
    ::kill(telvane, SIGTERM);
    EXPECT_EQ(telvane::test::reapProcess(telvane, 15s), 0);
#endif
}

TEST_F(Follow, TicksMoveAgesAndStdinIsIgnored)
{
    SharedStore store(storePath_);
    store.appendMessages({MQTTMessage{"t", "1", Date::now()}}, 50);
    auto widget = startWidget({"--tick=1", "--stale-after=2"});
    ASSERT_TRUE(widget->nextLine(10s));
    widget->writeInput("1\n{\"button\":1}\n");  // i3blocks' clicks
    widget->closeInput();
    // No signal and no write: only ticks can bring the age forward.
    const auto isStaleLine = [](const std::string& line) {
        return line.starts_with("t: 1 (") && line.ends_with(" s)");
    };
    const auto stale = widget->lineWhere(isStaleLine, 6s);
    ASSERT_TRUE(stale) << "no tick rendered the new age";
    const auto older = widget->nextLine(2500ms);
    ASSERT_TRUE(older) << "the age stopped moving";
    EXPECT_TRUE(isStaleLine(*older)) << *older;
    EXPECT_NE(*older, *stale);
    EXPECT_EQ(::waitpid(widget->pid(), nullptr, WNOHANG), 0) << "the end of its input ended it";
    EXPECT_EQ(widget->stop(SIGTERM, 5s), 0);
}

// How a desktop widget that runs a command again whenever it ends waits:
// nothing while the snapshot's digest is the one it shows (ticks move only
// the clock), then that snapshot and the end; at once when the digest
// already differs.
TEST_F(Follow, ChangedFromPrintsTheFirstDifferingSnapshotAndEnds)
{
    SharedStore store(storePath_);
    writeValue(store, "eins");
    auto first = startWidget({"--format=json"});
    const std::string line = first->nextLine(10s).value_or("");
    const auto at = line.find("\"digest\":\"");
    ASSERT_NE(at, std::string::npos) << line;
    const std::string digest = line.substr(at + 10, 16);
    EXPECT_EQ(first->stop(SIGTERM, 5s), 0);

    for (const auto& [from, waits] : {std::pair{digest, true}, std::pair{std::string("other"), false}}) {
        auto widget = startWidget({"--format=json", "--tick=1", "--changed-from=" + from});
        if (waits) {
            EXPECT_THAT(widget->linesFor(2500ms), ::testing::IsEmpty()) << "printed what is shown";
            writeValue(store, "zwei");
        }
        const auto shown = widget->nextLine(3s);
        ASSERT_TRUE(shown) << from;
        EXPECT_THAT(*shown, ::testing::HasSubstr("\"value\":\"zwei\""));
        EXPECT_EQ(widget->stop(std::nullopt, 5s), 0) << "it did not end by itself";
    }
}

TEST_F(Follow, AClosedOutputEndsItWithStatusZero)
{
    auto widget = startWidget({});
    ASSERT_TRUE(widget->nextLine(10s));
    widget->closeOutput();
    EXPECT_EQ(widget->stop(std::nullopt, 5s), 0) << "kept running without a reader";
}

}  // namespace
}  // namespace telvane::widget
