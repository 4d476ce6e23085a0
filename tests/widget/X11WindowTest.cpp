// The window program on a real X server (Xvfb) under a real window manager
// (xfwm4): what the manager made of its hints, as xprop reads them, and how
// soon a stored change reaches the screen.

#include "WidgetProcess.h"
#include "WidgetStore.h"
#include "platform/DBusReloadSignal.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <type_traits>

namespace telvane::widget {
namespace {

using namespace std::chrono_literals;
using test::WidgetProcess;

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kXfwm4 = "/usr/bin/xfwm4";
constexpr const char* kXprop = "/usr/bin/xprop";

// True once `done()` is, asked every `pause` for at most `timeout`.
template <typename Done>
bool within(std::chrono::milliseconds timeout, std::chrono::milliseconds pause, Done done)
{
    for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(pause);
    }
    return true;
}

// xprop's answer on one line.
std::string xprop(const std::string& display, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {kXprop, "-display", display});
    std::string text;
    for (const auto& line : WidgetProcess(arguments).linesFor(5s)) {  // ends with xprop
        text += line;
    }
    return text;
}

// The last window id of an xprop line ("... window id # 0x600006"); 0 for none.
std::uint32_t lastWindowId(const std::string& text)
{
    const auto at = text.rfind("0x");
    return at == std::string::npos ? 0 : static_cast<std::uint32_t>(std::stoul(text.substr(at), nullptr, 16));
}

// The window's pixels as the server holds them; empty for none.
std::string pixels(xcb_connection_t* x, std::uint32_t window)
{
    const auto reply = [](auto* pointer) {
        return std::unique_ptr<std::remove_pointer_t<decltype(pointer)>, decltype(&std::free)>(pointer, &std::free);
    };
    const auto size = reply(xcb_get_geometry_reply(x, xcb_get_geometry(x, window), nullptr));
    const auto image =
        reply(size ? xcb_get_image_reply(
                  x, xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, size->width, size->height, ~0U), nullptr)
                   : nullptr);
    return image ? std::string(reinterpret_cast<const char*>(xcb_get_image_data(image.get())),
                               static_cast<std::size_t>(xcb_get_image_data_length(image.get())))
                 : std::string();
}

TEST(X11Window, IsADesktopWidgetThatShowsAChangeWithinASecond)
{
    for (const char* program : {kXvfb, kXfwm4, kXprop}) {
        if (::access(program, X_OK) != 0) {
            GTEST_SKIP() << program << " is not installed (scripts/install-deps installs it)";
        }
    }
    // A display number of its own: X servers of other test runs may share
    // /tmp but not the process ids that their lock files name.
    std::optional<WidgetProcess> server;
    std::string display;
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 5 && display.empty(); ++attempt) {
        const std::string number = std::to_string(std::uniform_int_distribution(100, 30000)(random));
        server.emplace(std::vector<std::string>{kXvfb, ":" + number, "-displayfd", "1", "-nolisten", "tcp"});
        if (server->nextLine(20s) == number) {  // written once it listens; it ends when the number is taken
            display = ":" + number;
        }
    }
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    test::WidgetStore store;
    store.seed({MQTTMessage{"t", "21.5", Date::now()}});
    const telvane::test::TempDir settings;
    const std::vector<std::string> environment = {"DISPLAY=" + display, "XDG_CONFIG_HOME=" + settings.path().string(),
                                                  "NO_AT_BRIDGE=1", "QT_QPA_PLATFORM=xcb"};
    WidgetProcess manager({kXfwm4, "--compositor=off"}, environment);
    // Started once the manager is up: a window mapped before is not managed.
    ASSERT_TRUE(within(20s, 100ms, [&] {
        return lastWindowId(xprop(display, {"-root", "_NET_SUPPORTING_WM_CHECK"}));
    }));
    WidgetProcess widget({TELVANE_WIDGET_EXECUTABLE, "--window", "--store", store.path().string()}, environment);
    std::uint32_t window = 0;
    ASSERT_TRUE(within(20s, 100ms, [&] {
        return window = lastWindowId(xprop(display, {"-root", "_NET_CLIENT_LIST"}));
    }));

    const std::string states = xprop(display, {"-id", std::to_string(window), "_NET_WM_STATE"});
    for (const char* state :
         {"_NET_WM_STATE_BELOW", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_STICKY"}) {
        EXPECT_NE(states.find(state), std::string::npos) << state << " missing: " << states;
    }

    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> x(xcb_connect(display.c_str(), nullptr),
                                                                         &xcb_disconnect);
    // Painted once the pixels stay the same for a while.
    std::string before;
    ASSERT_TRUE(within(10s, 300ms, [&] {
        const std::string last = std::exchange(before, pixels(x.get(), window));
        return !before.empty() && before == last;
    }));
    DBusReloadSignal reload(DBusReloadSignal::sessionBusAddress());
    store.telvane().appendMessages({MQTTMessage{"t", "22", Date::now()}}, 50);
    reload.emitReload();
    EXPECT_TRUE(within(1s, 20ms, [&] { return pixels(x.get(), window) != before; }))
        << "the change did not show within a second";
}

}  // namespace
}  // namespace telvane::widget
