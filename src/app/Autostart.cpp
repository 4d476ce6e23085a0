#include "app/Autostart.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace telvane {

namespace {

bool isAbsolute(const char* value)
{
    return value != nullptr && value[0] == '/';
}

// An Exec argument as desktop entry files want it: quoted when
// it holds a reserved character, with ", `, $ and \ escaped inside the
// quotes; a literal % is written twice.
std::string execArgument(const std::string& argument)
{
    static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string escaped;
    bool needsQuotes = argument.empty();
    for (const char c : argument) {
        needsQuotes = needsQuotes || kReserved.find(c) != std::string_view::npos;
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
        if (c == '%') {
            escaped += '%';
        }
    }
    return needsQuotes ? '"' + escaped + '"' : escaped;
}

}  // namespace

std::optional<std::filesystem::path> Autostart::defaultEntryPath()
{
    std::filesystem::path base;
    if (const char* configHome = std::getenv("XDG_CONFIG_HOME"); isAbsolute(configHome)) {
        base = configHome;
    } else if (const char* home = std::getenv("HOME"); isAbsolute(home)) {
        base = std::filesystem::path(home) / ".config";
    } else {
        return std::nullopt;
    }
    return base / "autostart" / "telvane.desktop";
}

Autostart::Autostart(std::optional<std::filesystem::path> entryPath, std::string executable)
    : entryPath_(std::move(entryPath)),
      executable_(std::move(executable))
{}

std::string Autostart::entryText(const std::string& executable)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Telvane\n"
           "Comment=Werte von einem MQTT-Broker im Desktop-Widget anzeigen\n"
           "Exec="
           + execArgument(executable) + " --" + kOption
           + "\n"
             "Icon=telvane\n"
             "Terminal=false\n"
             "X-GNOME-Autostart-enabled=true\n";
}

bool Autostart::isEnabled() const
{
    if (!entryPath_) {
        return false;
    }
    std::ifstream entry(*entryPath_);
    if (!entry) {
        return false;
    }
    std::string line;
    while (std::getline(entry, line)) {
        if (line == "Hidden=true") {
            return false;
        }
    }
    return true;
}

bool Autostart::setEnabled(bool enabled)
{
    if (!entryPath_) {
        return false;
    }
    std::error_code error;
    if (!enabled) {
        std::filesystem::remove(*entryPath_, error);
        return !error;
    }
    std::filesystem::create_directories(entryPath_->parent_path(), error);
    if (error) {
        return false;
    }
    // Written beside and renamed over, so a session starting meanwhile never
    // reads half an entry.
    const auto partial = std::filesystem::path(entryPath_->string() + ".partial");
    {
        std::ofstream out(partial, std::ios::trunc);
        out << entryText(executable_);
        if (!out.flush()) {
            std::filesystem::remove(partial, error);
            return false;
        }
    }
    std::filesystem::rename(partial, *entryPath_, error);
    if (error) {
        std::filesystem::remove(partial, error);
        return false;
    }
    return true;
}

}  // namespace telvane
