#pragma once

// --follow: a snapshot line at start, again after Telvane's reload signals
// (coalesced by RenderThrottle) and every tick; a line only when it differs
// from the last one, each written at once. Without a session bus it polls
// the store's data_version every second instead. stdin is read and thrown
// away (i3blocks writes clicks there). Ends on SIGTERM, SIGINT or when
// stdout is closed, with status 0. With --changed-from it prints only the
// first snapshot whose digest differs from the given one, and then ends.

#include "widget/WidgetOptions.h"

#include <filesystem>
#include <optional>
#include <string>

namespace telvane::widget {

struct FollowIo {
    int input = 0;   // read and ignored; -1 for none
    int output = 1;  // the lines
};

// Blocks SIGTERM and SIGINT in the calling thread (and threads it starts
// later) and runs until one arrives or the output is closed. Returns the
// exit status: 0 then, 1 when writing failed for another reason.
[[nodiscard]] int runFollow(const WidgetOptions& options, const std::optional<std::filesystem::path>& storePath,
                            const std::string& busAddress, FollowIo io = {});

}  // namespace telvane::widget
