#pragma once

// The command line of telvane, read before any window system is touched:
// --help, --version and usage errors are answered in a terminal without a
// display. Qt's own options (-platform, -style, ...) pass through to the
// QApplication made afterwards.

#include <optional>

namespace telvane {

struct CommandLine {
    // Set when the command line has been answered already: 0 after --help or
    // --version, 2 after a usage error (said on stderr). End with it.
    std::optional<int> exitStatus;
    // --autostart: started with the desktop session.
    bool autostarted = false;
};

// Reads `argv`, printing help and version on stdout. Needs no
// QCoreApplication; the application's name and version must be set.
[[nodiscard]] CommandLine readCommandLine(int argc, char* argv[]);

}  // namespace telvane
