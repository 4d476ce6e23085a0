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

namespace telvane::widget {
namespace {

using namespace std::chrono_literals;
using test::WidgetProcess;

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kXfwm4 = "/usr/bin/xfwm4";
constexpr const char* kXprop = "/usr/bin/xprop";

// Each of xprop's lines.
std::vector<std::string> xprop(const std::string& display, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {kXprop, "-display", display});
    WidgetProcess process(arguments);
    return process.linesFor(5s);  // ends with its output
}

// The window ids in xprop's "NAME(WINDOW): window id # 0x..., 0x..." line.
std::vector<std::uint32_t> windowIds(const std::vector<std::string>& lines)
{
    std::vector<std::uint32_t> ids;
    for (const auto& line : lines) {
        for (auto at = line.find("0x"); at != std::string::npos; at = line.find("0x", at + 2)) {
            ids.push_back(static_cast<std::uint32_t>(std::stoul(line.substr(at), nullptr, 16)));
        }
    }
    return ids;
}

// What the server holds of the window's pixels; empty when it has none.
std::string pixels(xcb_connection_t* connection, std::uint32_t window)
{
    const auto free = [](void* reply) { std::free(reply); };
    const std::unique_ptr<xcb_get_geometry_reply_t, decltype(free)> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr), free);
    if (!geometry) {
        return {};
    }
    const std::unique_ptr<xcb_get_image_reply_t, decltype(free)> image(
        xcb_get_image_reply(
            connection,
            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, geometry->width, geometry->height, ~0U),
            nullptr),
        free);
    if (!image) {
        return {};
    }
    return {reinterpret_cast<const char*>(xcb_get_image_data(image.get())),
            static_cast<std::size_t>(xcb_get_image_data_length(image.get()))};
}

TEST(X11Window, IsADesktopWidgetThatShowsAChangeWithinASecond)
{
    for (const char* program : {kXvfb, kXfwm4, kXprop}) {
        if (::access(program, X_OK) != 0) {
            GTEST_SKIP() << program << " is not installed (scripts/install-deps installs it)";
        }
    }
    ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run under dbus-run-session";
    // A display number of its own: X servers of other test runs may share
    // /tmp but not the process ids that their lock files name.
    std::optional<WidgetProcess> server;
    std::string display;
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 5 && display.empty(); ++attempt) {
        const std::string number = std::to_string(std::uniform_int_distribution(100, 30000)(random));
        server.emplace(std::vector<std::string>{kXvfb, ":" + number, "-displayfd", "1", "-nolisten", "tcp", "-screen",
                                                "0", "800x600x24"});
        if (server->nextLine(20s) == number) {  // written once it listens; it ends when the number is taken
            display = ":" + number;
        }
    }
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    test::WidgetStore store;
    store.seed({MQTTMessage{"t", "21.5", Date::now()}});
    const telvane::test::TempDir settings;
    // The window's and the manager's settings; no accessibility bus.
    const std::vector<std::string> environment = {"DISPLAY=" + display, "XDG_CONFIG_HOME=" + settings.path().string(),
                                                  "NO_AT_BRIDGE=1", "QT_QPA_PLATFORM=xcb"};
    WidgetProcess manager({kXfwm4, "--compositor=off"}, environment);
    std::optional<WidgetProcess> widget;
    std::uint32_t window = 0;
    for (const auto deadline = std::chrono::steady_clock::now() + 20s;
         window == 0 && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(100ms)) {
        // Started once the manager is up: a window mapped before is not managed.
        if (!widget && !windowIds(xprop(display, {"-root", "_NET_SUPPORTING_WM_CHECK"})).empty()) {
            widget.emplace(
                std::vector<std::string>{TELVANE_WIDGET_EXECUTABLE, "--window", "--store", store.path().string()},
                environment);
        }
        for (const auto id : windowIds(xprop(display, {"-root", "_NET_CLIENT_LIST"}))) {
            window = id;
        }
    }
    ASSERT_NE(window, 0U) << "no managed window appeared";

    const auto states = xprop(display, {"-id", std::to_string(window), "_NET_WM_STATE"});
    ASSERT_EQ(states.size(), 1U);
    for (const char* state :
         {"_NET_WM_STATE_BELOW", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_STICKY"}) {
        EXPECT_NE(states[0].find(state), std::string::npos) << state << " missing: " << states[0];
    }

    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> x(xcb_connect(display.c_str(), nullptr),
                                                                         &xcb_disconnect);
    ASSERT_EQ(xcb_connection_has_error(x.get()), 0);
    // Painted once what it shows stays the same for a while.
    std::string before;
    for (const auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
        const std::string now = pixels(x.get(), window);
        if (!now.empty() && now == before) {
            break;
        }
        before = now;
        std::this_thread::sleep_for(300ms);
    }
    DBusReloadSignal reload(DBusReloadSignal::sessionBusAddress());
    store.telvane().appendMessages({MQTTMessage{"t", "22", Date::now()}}, 50);
    reload.emitReload();
    const auto written = std::chrono::steady_clock::now();
    while (pixels(x.get(), window) == before && std::chrono::steady_clock::now() - written < 1s) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(pixels(x.get(), window), before) << "the change did not show within a second";
}

}  // namespace
}  // namespace telvane::widget
