#pragma once

// Reload requests to the desktop widget. The widget listens on the session
// bus for the signal org.telvane.Telvane.Widget.ReloadAllTimelines on the
// object /org/telvane/Telvane and reads the store again when it arrives.

namespace telvane {

class WidgetReloader {
public:
    virtual ~WidgetReloader() = default;
    // Asks every widget to reload. Never blocks and never fails visibly.
    virtual void reloadAllTimelines() = 0;
};

class WidgetCenter final : public WidgetReloader {
public:
    // The process-wide instance, talking to the session bus.
    static WidgetCenter& shared();

    // Emits the signal; does nothing (at once) without a reachable session bus.
    void reloadAllTimelines() override;

private:
    WidgetCenter() = default;
};

}  // namespace telvane
