#include "widget/OnceRun.h"

#include "model/SharedStore.h"
#include "widget/Snapshot.h"

#include <chrono>

namespace telvane::widget {

std::optional<std::filesystem::path> storePathFor(const WidgetOptions& options)
{
    return options.storePath ? options.storePath : SharedStore::defaultDatabasePath();
}

std::string renderStore(StoreReader* reader, const WidgetOptions& options, double nowUnix)
{
    StoreContents contents;  // missing
    if (reader != nullptr) {
        contents = reader->read(historyRequestFor(options, nowUnix));
    }
    const std::string path = reader != nullptr ? reader->path().string() : std::string("$HOME/.local/share");
    return render(makeSnapshot(contents, path, nowUnix, options.staleAfterSeconds), options.format);
}

HistoryRequest historyRequestFor(const WidgetOptions& options, double nowUnix)
{
    return {nowUnix, options.historySeconds, options.trend};
}

double unixNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace telvane::widget
