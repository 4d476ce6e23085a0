// The delegate with the real client on a virtual loop and a scripted
// transport: what it does on each saved configuration. Its launch steps
// (prune, one reload, connect) are covered end to end.

#include "app/AppDelegate.h"
#include "support/CountingReloadSignal.h"
#include "support/ScriptedTransport.h"
#include "support/TempDir.h"
#include "support/VirtualEventLoop.h"

#include <gtest/gtest.h>

namespace telvane {
namespace {

TEST(AppDelegateTest, EverySavedConfigurationIsLoadedIntoTheClientAndReconnects)
{
    test::TempDir dir;
    SharedStore store{dir.path() / "defaults.sqlite3"};
    VirtualEventLoop loop;
    auto transport = std::make_shared<test::ScriptedTransport>(loop);
    test::CountingReloadSignal reloadSignal;
    ConfigChangedSignal configChanged;
    auto delegate = std::make_unique<AppDelegate>(loop, transport, store, reloadSignal, configChanged);

    MQTTConfig config;
    config.host = "first.local";
    config.topics = {"a"};
    store.saveConfig(config);
    delegate->applicationDidFinishLaunching();
    loop.runUntilIdle();
    ASSERT_EQ(transport->connectionCount(), 1U);
    ASSERT_EQ(reloadSignal.count, 1);

    config.host = "second.local";
    config.port = 1884;
    config.topics = {"a", "b"};
    store.saveConfig(config);
    configChanged.post();
    loop.runUntilIdle();
    EXPECT_EQ(delegate->mqtt()->config(), store.loadConfig());
    ASSERT_EQ(transport->connectionCount(), 2U);
    EXPECT_TRUE(transport->connections()[0]->isCancelled());
    EXPECT_EQ(transport->last().host(), "second.local");
    EXPECT_EQ(transport->last().port(), 1884);
    EXPECT_TRUE(transport->last().isStarted());
    EXPECT_EQ(reloadSignal.count, 1) << "reconnecting alone does not reload the widget";

    // The observer goes with the delegate: a later post reaches nothing.
    delegate.reset();
    configChanged.post();
    loop.runUntilIdle();
    EXPECT_EQ(transport->connectionCount(), 2U);
}

}  // namespace
}  // namespace telvane
