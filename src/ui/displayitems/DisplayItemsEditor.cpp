#include "ui/displayitems/DisplayItemsEditor.h"

#include "model/JsonPath.h"
#include "ui/TextTrimming.h"

#include <algorithm>

namespace telvane {

namespace {

constexpr double kHistorySpanSeconds = 24.0 * 60 * 60;
// Points older than the span fall out of it; a minute is less than a pixel
// of a small sparkline's day.
constexpr double kHistoryMaxAgeSeconds = 60;

const std::shared_ptr<const DisplayItemsEditor::Paths>& noPaths()
{
    static const auto none = std::make_shared<const DisplayItemsEditor::Paths>();
    return none;
}

}  // namespace

DisplayItemsEditor::DisplayItemsEditor(SharedStore& store, Window& window, std::function<void()> changed)
    : store_(store),
      window_(window),
      changed_(std::move(changed))
{}

std::string DisplayItemsEditor::defaultLabel(std::string_view path)
{
    const auto components = splitJSONPath(path);
    return components.empty() ? std::string(path) : components.back();
}

std::string DisplayItemsEditor::itemCaption(const MQTTDisplayItem& item)
{
    return item.topic + " \u2192 " + item.jsonPath;
}

void DisplayItemsEditor::setNewItemTopic(std::string topic)
{
    if (topic == newItemTopic_) {
        return;
    }
    newItemTopic_ = std::move(topic);
    // Labels typed for the previous topic would land on paths of this one.
    pendingLabels_.clear();
    changed_();
}

DisplayItemsEditor::ParsedPayload* DisplayItemsEditor::latestPayload(const std::string& topic)
{
    const auto& snapshot = window_.messagesSnapshot();
    const auto& messages = *snapshot;
    const auto message =
        std::find_if(messages.begin(), messages.end(), [&](const MQTTMessage& m) { return m.topic == topic; });
    if (message == messages.end()) {
        parsed_.erase(topic);
        return nullptr;
    }
    const auto [entry, added] = parsed_.try_emplace(topic);
    ParsedPayload& parsed = entry->second;
    // The same list holds the same message; a new list (the store read
    // again) may still hold the same payload.
    const bool unchanged = !added && (parsed.source == snapshot || parsed.message->payload == message->payload);
    parsed.source = snapshot;
    parsed.message = &*message;
    if (unchanged) {
        return &parsed;
    }
    auto json = parseJSONPayload(message->payload);
    parsed.json = json ? std::make_shared<const Json>(std::move(*json)) : nullptr;
    parsed.values.clear();
    if (parsed.paths && topic == newItemTopic_) {
        // Shown now: keep the list's identity when only values changed.
        Paths fresh = parsed.json ? jsonPaths(*parsed.json, {}) : Paths();
        if (fresh != *parsed.paths) {
            parsed.paths = std::make_shared<const Paths>(std::move(fresh));
        }
    } else {
        parsed.paths.reset();  // listed again when the topic is chosen
    }
    return &parsed;
}

std::vector<std::string> DisplayItemsEditor::topicsWithJSON()
{
    const auto& configured = window_.configuredTopics();
    std::vector<std::string> topics;
    for (const auto& topic : configured) {
        // A JSON object or array always has at least one leaf path.
        if (ParsedPayload* parsed = topic.empty() ? nullptr : latestPayload(topic); parsed && parsed->json) {
            topics.push_back(topic);
        }
    }
    std::sort(topics.begin(), topics.end());
    topics.erase(std::unique(topics.begin(), topics.end()), topics.end());

    std::erase_if(parsed_, [&](const auto& entry) {
        return entry.first != newItemTopic_
               && std::find(configured.begin(), configured.end(), entry.first) == configured.end();
    });
    return topics;
}

std::shared_ptr<const DisplayItemsEditor::Paths> DisplayItemsEditor::availablePaths()
{
    ParsedPayload* parsed = newItemTopic_.empty() ? nullptr : latestPayload(newItemTopic_);
    if (parsed == nullptr || !parsed->json) {
        return noPaths();
    }
    if (!parsed->paths) {
        parsed->paths = std::make_shared<const Paths>(jsonPaths(*parsed->json, {}));
    }
    return parsed->paths;
}

std::string DisplayItemsEditor::pendingLabel(const std::string& path) const
{
    const auto it = pendingLabels_.find(path);
    return it == pendingLabels_.end() ? defaultLabel(path) : it->second;
}

void DisplayItemsEditor::setPendingLabel(const std::string& path, std::string text)
{
    pendingLabels_[path] = std::move(text);
    changed_();
}

std::string DisplayItemsEditor::valueText(const std::string& path)
{
    ParsedPayload* parsed = newItemTopic_.empty() ? nullptr : latestPayload(newItemTopic_);
    if (parsed == nullptr || !parsed->json) {
        return std::string(kNoValue);
    }
    const auto [entry, added] = parsed->values.try_emplace(path);
    if (added) {
        entry->second = valueAtPath(*parsed->json, path).value_or(std::string(kNoValue));
    }
    return entry->second;
}

bool DisplayItemsEditor::hasItem(const std::string& path) const
{
    const auto& items = window_.displayItems();
    return std::any_of(items.begin(), items.end(), [&](const MQTTDisplayItem& item) {
        return item.topic == newItemTopic_ && item.jsonPath == path;
    });
}

bool DisplayItemsEditor::addItem(const std::string& path)
{
    std::string label = trimBlanks(pendingLabel(path));
    if (newItemTopic_.empty() || label.empty()) {
        return false;
    }
    std::vector<MQTTDisplayItem> items = store_.loadDisplayItems();
    const bool exists = std::any_of(items.begin(), items.end(), [&](const MQTTDisplayItem& item) {
        return item.topic == newItemTopic_ && item.jsonPath == path;
    });
    if (!exists) {
        items.push_back(MQTTDisplayItem::make(newItemTopic_, std::move(label), path));
        store_.saveDisplayItems(items);
    }
    window_.reloadDisplayItems();
    if (exists) {
        return false;
    }
    window_.reloadWidgets();
    return true;
}

const std::vector<MQTTDisplayItem>& DisplayItemsEditor::displayItems() const
{
    return window_.displayItems();
}

void DisplayItemsEditor::editStoredItem(const std::string& id, const std::function<bool(MQTTDisplayItem&)>& edit)
{
    // The stored list, not the window's copy, is the base: the copy may be
    // up to a refresh tick old.
    std::vector<MQTTDisplayItem> items = store_.loadDisplayItems();
    const auto item = std::find_if(items.begin(), items.end(), [&](const MQTTDisplayItem& i) { return i.id == id; });
    if (item != items.end() && edit(*item)) {
        store_.saveDisplayItems(items);
    }
    window_.reloadDisplayItems();
}

void DisplayItemsEditor::setItemLabel(const std::string& id, std::string text)
{
    editStoredItem(id, [&](MQTTDisplayItem& item) {
        if (item.label == text) {
            return false;
        }
        item.label = std::move(text);
        return true;
    });
}

void DisplayItemsEditor::submitItemLabel(const std::string& id)
{
    editStoredItem(id, [](MQTTDisplayItem& item) {
        if (!isBlank(item.label)) {
            return false;
        }
        item.label = defaultLabel(item.jsonPath);
        return true;
    });
    window_.reloadWidgets();
}

void DisplayItemsEditor::removeItem(const std::string& id)
{
    store_.removeDisplayItem(id);
    window_.reloadDisplayItems();
    window_.reloadWidgets();
}

const DisplayItemsEditor::ItemHistory& DisplayItemsEditor::itemHistory(const MQTTDisplayItem& item, double nowUnix)
{
    const auto& messages = *window_.messagesSnapshot();
    const auto message =
        std::find_if(messages.begin(), messages.end(), [&](const MQTTMessage& m) { return m.topic == item.topic; });
    const std::optional<Date> messageTime =
        message == messages.end() ? std::nullopt : std::optional<Date>(message->timestamp);
    HistorySeries series{item.topic, item.jsonPath};
    const auto [entry, added] = histories_.try_emplace(std::move(series));
    CachedHistory& cached = entry->second;
    const double age = nowUnix - cached.history.readAtUnix;
    if (!added && cached.messageTime == messageTime && age >= 0 && age < kHistoryMaxAgeSeconds) {
        return cached.history;
    }
    auto points = store_.loadHistory(entry->first, nowUnix - kHistorySpanSeconds, nowUnix, kMaxHistoryPoints);
    cached.history.range = historyRange(points);
    cached.history.points = std::make_shared<const std::vector<HistoryPoint>>(std::move(points));
    cached.history.readAtUnix = nowUnix;
    cached.messageTime = messageTime;
    return cached.history;
}

}  // namespace telvane
