#pragma once

// The reload request to the desktop widget: after it, every widget reads the
// store again. The application emits it after each stored message, at
// start-up and after each change saved in the settings window.

namespace telvane {

class ReloadSignal {
public:
    virtual ~ReloadSignal() = default;
    // Asks every widget to reload. Never blocks and never fails visibly.
    virtual void emitReload() = 0;
};

}  // namespace telvane
