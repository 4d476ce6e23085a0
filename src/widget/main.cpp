// telvane-widget: Telvane's values for status bars, desktop widgets and
// scripts. The text modes link no Qt; --window hands over to the window
// program installed beside it.

#include "platform/DBusReloadSignal.h"
#include "widget/FollowLoop.h"
#include "widget/OnceRun.h"
#include "widget/WidgetOptions.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace telvane::widget;

// --once waits this long for a writer that holds the store, then says so.
constexpr std::chrono::milliseconds kOnceBusyTimeout{1000};

int runOnce(const WidgetOptions& options)
{
    const auto path = storePathFor(options);
    std::optional<StoreReader> reader;
    if (path) {
        reader.emplace(*path, kOnceBusyTimeout);
    }
    const std::string text = renderStore(reader ? &*reader : nullptr, options, unixNow());
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    // A bar hides a module whose command fails: whatever the store held,
    // the state is in the output and the status is 0.
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = parseCommandLine(arguments);
    switch (parsed.action) {
    case ParsedCommandLine::Action::help: std::cout << helpText(); return 0;
    case ParsedCommandLine::Action::version: std::cout << "telvane-widget " << TELVANE_VERSION << "\n"; return 0;
    case ParsedCommandLine::Action::usageError:
        std::cerr << "telvane-widget: " << parsed.error << "\nTry 'telvane-widget --help'.\n";
        return 2;
    case ParsedCommandLine::Action::run: break;
    }
    switch (parsed.options.mode) {
    case Mode::once: return runOnce(parsed.options);
    case Mode::follow:
        return runFollow(parsed.options, storePathFor(parsed.options), telvane::DBusReloadSignal::sessionBusAddress());
    case Mode::window: break;
    }
    std::cerr << "telvane-widget: not available yet\n";
    return 2;
}
