// telvane-widget: Telvane's values for status bars, desktop widgets and
// scripts. The text modes link no Qt; --window hands over to the window
// program installed beside it.

#include "platform/DBusReloadSignal.h"
#include "widget/FollowLoop.h"
#include "widget/OnceRun.h"
#include "widget/WidgetOptions.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
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

// The window program: beside this one in the build tree, under libexec
// once installed.
std::optional<std::filesystem::path> windowProgram()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    for (const auto& candidate :
         {self.parent_path() / "telvane-widget-window", self.parent_path() / TELVANE_WINDOW_FROM_BIN}) {
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.lexically_normal();
        }
    }
    return std::nullopt;
}

int runWindow(char* argv[])
{
    const auto program = windowProgram();
    if (!program) {
        std::cerr << "telvane-widget: the window program telvane-widget-window is not installed\n";
        return 1;
    }
    std::string name = program->string();
    argv[0] = name.data();
    ::execv(name.c_str(), argv);
    std::cerr << "telvane-widget: cannot start " << name << "\n";
    return 1;
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
    case Mode::window: return runWindow(argv);
    }
    return 2;
}
