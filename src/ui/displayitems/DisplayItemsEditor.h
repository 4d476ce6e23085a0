#pragma once

// The state and actions of the box "Anzeige-Elemente": choosing a topic,
// listing the paths of its latest JSON payload with their current values,
// and adding, renaming and removing display items. No widgets here.
//
// It works over the window it belongs to: the stored messages, the display
// items and the configured topics as the window last read them come from
// there, and every change of the display items is written to the store at
// once (no "Speichern" needed). Adding,
// removing and finishing a rename reload the widget; the keystrokes of a
// rename do not.
//
// Payloads are parsed once per text and topic, not on every refresh tick:
// a payload with ten thousand paths must not slow the tick down. Likewise an
// item's kept history is read again only when its topic brought a message
// or a minute has passed.

#include "model/History.h"
#include "model/Records.h"
#include "model/SharedStore.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

class DisplayItemsEditor {
public:
    using Paths = std::vector<std::string>;

    // What the editor reads from the window it belongs to, and asks of it.
    class Window {
    public:
        // The stored messages as of the window's last read.
        [[nodiscard]] virtual const std::shared_ptr<const std::vector<MQTTMessage>>& messagesSnapshot() const = 0;
        // The topics of the window's working configuration.
        [[nodiscard]] virtual const std::vector<std::string>& configuredTopics() const = 0;
        // The display items as of the window's last read.
        [[nodiscard]] virtual const std::vector<MQTTDisplayItem>& displayItems() const = 0;
        // Reads the stored display items again and shows them.
        virtual void reloadDisplayItems() = 0;
        // Asks the widget to reload now and once more a moment later.
        virtual void reloadWidgets() = 0;

    protected:
        Window() = default;
        ~Window() = default;
        Window(const Window&) = default;
        Window& operator=(const Window&) = default;
    };

    // What a value row shows when there is no value at its path.
    static constexpr std::string_view kNoValue = "\u2013";

    // `changed` runs after every change of newItemTopic() or the pending
    // labels. Changes of the display items are announced by the window
    // (reloadDisplayItems()). Both parts must outlive the editor.
    DisplayItemsEditor(SharedStore& store, Window& window, std::function<void()> changed);
    DisplayItemsEditor(const DisplayItemsEditor&) = delete;
    DisplayItemsEditor& operator=(const DisplayItemsEditor&) = delete;

    // The label an item for `path` gets unless the user types another: the
    // last non-empty component ("sensor.temp" -> "temp", "a..b." -> "b"),
    // or the path itself when it has none ("" -> "", "." -> ".").
    [[nodiscard]] static std::string defaultLabel(std::string_view path);

    // "<topic> → <jsonPath>", how an item row names its item.
    [[nodiscard]] static std::string itemCaption(const MQTTDisplayItem& item);

    // --- Topic chooser ---------------------------------------------------

    // The chosen topic, "" while none is chosen. Never stored.
    [[nodiscard]] const std::string& newItemTopic() const { return newItemTopic_; }
    // Chooses a topic ("" for none). A different topic forgets the labels
    // typed for the previous one; the same topic changes nothing.
    void setNewItemTopic(std::string topic);
    // The configured topics whose latest stored message is JSON (an object
    // or an array), each once, in plain byte order. The empty topic, which
    // no broker delivers, is left out: it would be taken for "no topic".
    [[nodiscard]] std::vector<std::string> topicsWithJSON();

    // --- Value rows ------------------------------------------------------

    // Every leaf path of the chosen topic's latest payload, in the order of
    // jsonPaths(); empty when no topic is chosen, the topic has no stored
    // message or its payload is not JSON. The same pointer is handed out
    // until the paths themselves change, also across new payloads whose
    // values alone differ, so a view can tell at a glance that its rows
    // still stand.
    [[nodiscard]] std::shared_ptr<const Paths> availablePaths();
    // The text of the label field of `path`: what the user typed for it,
    // else defaultLabel(path).
    [[nodiscard]] std::string pendingLabel(const std::string& path) const;
    // Keeps `text` unchanged (blanks too) as the label of `path`.
    void setPendingLabel(const std::string& path, std::string text);
    [[nodiscard]] const std::map<std::string, std::string>& pendingLabels() const { return pendingLabels_; }
    // The display text of the value at `path` in the chosen topic's latest
    // payload, or kNoValue when there is no message or no value there (the
    // empty path, null, an object or an array).
    [[nodiscard]] std::string valueText(const std::string& path);
    // True while a display item shows `path` of the chosen topic: its add
    // button is disabled then.
    [[nodiscard]] bool hasItem(const std::string& path) const;
    // Adds an item for `path` of the chosen topic under the pending label
    // trimmed of blanks, on top of the list the store holds now, then
    // reloads the display items and the widget. Adds nothing and returns
    // false for a blank label, when no topic is chosen, or when the store
    // already holds an item for this topic and path (added elsewhere since
    // the last refresh).
    bool addItem(const std::string& path);

    // --- Item rows -------------------------------------------------------

    [[nodiscard]] const std::vector<MQTTDisplayItem>& displayItems() const;
    // A keystroke in the label field of item `id`: `text` becomes its label
    // unchanged, written at once into the list the store holds now, so that
    // items added, removed or renamed elsewhere meanwhile survive. An item
    // the store no longer holds is not brought back. No widget reload.
    void setItemLabel(const std::string& id, std::string text);
    // Return in the label field of item `id`: a blank label becomes the
    // default label of its path (stored); any other label stays exactly as
    // typed. Reloads the widget in every case.
    void submitItemLabel(const std::string& id);
    // Removes item `id` from the store, reloads the display items and the
    // widget.
    void removeItem(const std::string& id);

    // The last 24 hours of an item's kept points, as its row draws them.
    struct ItemHistory {
        std::shared_ptr<const std::vector<HistoryPoint>> points;  // oldest first; never null
        std::optional<HistoryRange> range;                        // none without points
        double readAtUnix = 0;                                    // the end of the 24 hours
    };
    // The history of `item` read from the store at `nowUnix`, or the one
    // read before (the same points pointer) while the latest message of its
    // topic is the same and less than a minute has passed.
    [[nodiscard]] const ItemHistory& itemHistory(const MQTTDisplayItem& item, double nowUnix);

private:
    struct ParsedPayload {
        // The message parsed, inside the list that holds it (kept alive
        // here, so the address stays valid): no copy of a huge payload, and
        // the same message as last tick is recognised without comparing it.
        std::shared_ptr<const std::vector<MQTTMessage>> source;
        const MQTTMessage* message = nullptr;
        std::shared_ptr<const Json> json;           // null: not JSON
        std::shared_ptr<const Paths> paths;         // filled on first use
        std::map<std::string, std::string> values;  // display texts by path, filled on use
    };

    // The parse of `topic`'s latest stored message, or null when there is none.
    ParsedPayload* latestPayload(const std::string& topic);
    // Applies `edit` to the item `id` of the stored list and writes the list
    // back when `edit` changed it; an item the store no longer holds is left
    // gone. Then reloads the display items.
    void editStoredItem(const std::string& id, const std::function<bool(MQTTDisplayItem&)>& edit);

    SharedStore& store_;
    Window& window_;
    std::function<void()> changed_;

    std::string newItemTopic_;
    std::map<std::string, std::string> pendingLabels_;
    std::map<std::string, ParsedPayload> parsed_;  // by topic

    struct CachedHistory {
        ItemHistory history;
        std::optional<Date> messageTime;  // of the topic's latest message at the read
    };
    std::map<HistorySeries, CachedHistory> histories_;
};

}  // namespace telvane
