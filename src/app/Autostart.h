#pragma once

// Starting Telvane with the desktop session, by the XDG autostart
// convention: a desktop entry telvane.desktop in $XDG_CONFIG_HOME/autostart
// (~/.config/autostart when the variable is unset). The entry starts Telvane
// with --autostart, which keeps the window hidden where a tray icon can
// bring it back.

#include <filesystem>
#include <optional>
#include <string>

namespace telvane {

class Autostart {
public:
    // The option an autostarted Telvane is given.
    static constexpr const char* kOption = "autostart";

    // ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/telvane.desktop; none when
    // neither variable holds an absolute path.
    [[nodiscard]] static std::optional<std::filesystem::path> defaultEntryPath();

    // `entryPath` none: autostart cannot be set up (isEnabled() is false and
    // setEnabled() fails). `executable` is written into the entry.
    Autostart(std::optional<std::filesystem::path> entryPath, std::string executable);

    // True when the entry exists and is not switched off (Hidden=true, as
    // desktop settings tools do it).
    [[nodiscard]] bool isEnabled() const;
    // Writes or removes the entry. False when that failed; nothing else
    // changed then.
    bool setEnabled(bool enabled);

    // The entry's text for `executable`.
    [[nodiscard]] static std::string entryText(const std::string& executable);

private:
    std::optional<std::filesystem::path> entryPath_;
    std::string executable_;
};

}  // namespace telvane
