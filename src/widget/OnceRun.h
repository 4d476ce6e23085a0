#pragma once

// One snapshot of the store, read now and rendered: what --once prints and
// what every line of --follow starts from.

#include "widget/StoreReader.h"
#include "widget/WidgetOptions.h"

#include <filesystem>
#include <optional>
#include <string>

namespace telvane::widget {

// The store the options name, else Telvane's default one; none when no
// home directory is known.
[[nodiscard]] std::optional<std::filesystem::path> storePathFor(const WidgetOptions& options);

// Reads `reader` (none: no store path) and renders it with `options` at
// wall-clock time `nowUnix`.
[[nodiscard]] std::string renderStore(StoreReader* reader, const WidgetOptions& options, double nowUnix);

// What a read at `nowUnix` takes of the history for `options`.
[[nodiscard]] HistoryRequest historyRequestFor(const WidgetOptions& options, double nowUnix);

// The wall clock in Unix seconds.
[[nodiscard]] double unixNow();

}  // namespace telvane::widget
