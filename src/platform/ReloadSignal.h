#pragma once

// The reload request to the desktop widget: after it, every widget reads the
// store again. The application emits it after each stored message, at
// start-up and after each change saved in the settings window.

namespace telvane {

// The request on the session bus: a signal without arguments. Published
// names, heard by telvane-widget and any other widget; docs/ARCHITECTURE.md
// ("Contracts between the two programs") says what changing one would take.
namespace reload_signal {
inline constexpr const char* kObjectPath = "/org/telvane/Telvane";
inline constexpr const char* kInterface = "org.telvane.Telvane.Widget";
inline constexpr const char* kMember = "ReloadAllTimelines";
}  // namespace reload_signal

class ReloadSignal {
public:
    virtual ~ReloadSignal() = default;
    // Asks every widget to reload. Never blocks and never fails visibly.
    virtual void emitReload() = 0;
};

}  // namespace telvane
