// StoreFollower at its seam: time is the test's (a virtual clock), the
// store and the session bus are real, so which read shows a change is exact.

#include "WidgetStore.h"
#include "platform/DBusReloadSignal.h"
#include "support/ReloadListener.h"
#include "widget/StoreFollower.h"
#include "widget/TextFormats.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace telvane::widget {
namespace {

using namespace std::chrono_literals;
using Clock = StoreFollower::Clock;

class Lines final : public StoreFollower::Output {
public:
    std::string present(const Snapshot& snapshot) override { return render(snapshot, FormatOptions{}); }
    bool show(const Snapshot& /*snapshot*/, const std::string& presented) override
    {
        shown.push_back(presented);
        return true;
    }
    std::vector<std::string> shown;
};

TEST(StoreFollower, ShowsEachChangeWithinASecondAndNothingElse)
{
    struct Case {
        const char* name;
        std::string bus;
        bool signals;
    };
    const std::vector<Case> cases = {
        {"with the bus", DBusReloadSignal::sessionBusAddress(), true},
        {"an unreachable bus: it polls", "unix:path=/nonexistent/bus", false},
    };
    DBusReloadSignal reload(DBusReloadSignal::sessionBusAddress());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::WidgetStore store;
        store.seed({MQTTMessage{"t", "a", Date::now()}});
        store.closeTelvane();
        store.exec("PRAGMA journal_mode=DELETE;");  // so that a writer can hold readers off
        telvane::test::StoreFile writer(store.path());
        telvane::test::ReloadListener heard;
        int signals = 0;
        Lines lines;
        WidgetOptions options;
        options.tickSeconds = 2;
        StoreFollower follower(options, store.path(), c.bus, lines);
        const auto start = Clock::now();
        ASSERT_TRUE(follower.start(start));
        Clock::duration now{};
        // What the bus brings is handled at once, else the clock moves on.
        const auto runFor = [&](Clock::duration duration) {
            const std::size_t shown = lines.shown.size();
            for (const auto end = now + duration; now < end && lines.shown.size() == shown;) {
                pollfd bus{follower.busFd(), follower.busEvents(), 0};
                if (bus.fd < 0 || ::poll(&bus, 1, 2) <= 0) {
                    now += 10ms;
                }
                ASSERT_TRUE(follower.handle(start + now));
            }
        };
        const auto write = [&](const char* value) {
            writer.put(store_schema::kMessagesKey, encodeMessagesDocument({MQTTMessage{"t", value, Date::now()}}));
            if (c.signals) {
                reload.emitReload();
                ASSERT_TRUE(heard.waitForCount(++signals, 5s));
            }
        };
        // The bus confirms the subscription at the first handle(), after the
        // first signal: only the read then shows "b". Each later signal
        // pauses the bus until its read.
        for (const char* value : {"b", "c", "d"}) {
            write(value);
            runFor(1s);
            EXPECT_EQ(lines.shown.back(), std::string("t: ") + value) << "not within a second";
        }
        // A writer holding the store: what is shown stays, and a second
        // after it let go the next read shows its write.
        writer.exec("BEGIN EXCLUSIVE;");
        write("e");
        runFor(1500ms);
        EXPECT_EQ(lines.shown.back(), "t: d");
        writer.exec("COMMIT;");
        runFor(1s);
        EXPECT_EQ(lines.shown.back(), "t: e");
        runFor(5s);  // two ticks, five polls
        EXPECT_EQ(lines.shown.size(), 5U) << "shown again unchanged";
    }
}

}  // namespace
}  // namespace telvane::widget
