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

// Drives `follower` as a caller's loop would: whatever the bus brings is
// handled at once, else the clock moves on by 10 ms. Returns when the next
// line was shown, after `start`; none when none came before `limit`.
std::optional<Clock::duration> nextShownAfter(StoreFollower& follower, const Lines& lines, Clock::time_point start,
                                              Clock::duration limit)
{
    const std::size_t before = lines.shown.size();
    for (auto now = start; now <= start + limit;) {
        pollfd bus{follower.busFd(), follower.busEvents(), 0};
        if (bus.fd < 0 || ::poll(&bus, 1, 20) <= 0) {
            now += 10ms;
        }
        EXPECT_TRUE(follower.handle(now));
        if (lines.shown.size() > before) {
            return now - start;
        }
    }
    return std::nullopt;
}

TEST(StoreFollower, ReadsWhenTheWayItFollowsSaysSo)
{
    enum class Change { none, writeUnheard, writeWithoutSignal };
    struct Case {
        const char* name;
        bool bus;
        Change change;
        Clock::duration earliest;  // when the change shows; both zero: never
        Clock::duration latest;
    };
    const std::vector<Case> cases = {
        // The subscription is confirmed at the first handle() only: the
        // signal has been and gone, only the read after it can show "b",
        // once the throttle lets it (the first read was at start).
        {"a write whose signal came before the subscription", true, Change::writeUnheard, 250ms, 1s},
        {"a commit without a bus, at the next poll", false, Change::writeWithoutSignal, 1s, 1s},
        {"ticks and polls that find nothing new", false, Change::none, 0s, 0s},
    };
    DBusReloadSignal reload(DBusReloadSignal::sessionBusAddress());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::WidgetStore store;
        store.seed({MQTTMessage{"t", "a", Date::now()}});
        telvane::test::ReloadListener heard;
        Lines lines;
        WidgetOptions options;
        options.tickSeconds = 2;
        StoreFollower follower(options, store.path(), c.bus ? DBusReloadSignal::sessionBusAddress() : "", lines);
        const auto start = Clock::now();
        ASSERT_TRUE(follower.start(start));
        ASSERT_EQ(lines.shown, std::vector<std::string>{"t: a"});

        if (c.change != Change::none) {
            store.telvane().appendMessages({MQTTMessage{"t", "b", Date::now()}}, 50);
        }
        if (c.change == Change::writeUnheard) {
            reload.emitReload();
            ASSERT_TRUE(heard.waitForCount(1, 5s));
        }
        // Two ticks (2 s each) and five polls at most.
        const auto shown = nextShownAfter(follower, lines, start, 5s);
        if (c.latest == 0s) {
            EXPECT_FALSE(shown) << lines.shown.back();
            continue;
        }
        ASSERT_TRUE(shown);
        EXPECT_GE(*shown, c.earliest);
        EXPECT_LE(*shown, c.latest);
        EXPECT_EQ(lines.shown.back(), "t: b");
    }
}

}  // namespace
}  // namespace telvane::widget
