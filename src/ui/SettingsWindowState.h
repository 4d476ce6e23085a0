#pragma once

// The state of the settings window and the actions its controls run. No
// widgets here: the window binds to this class, and tests drive it directly.
//
// The window edits a working copy of the configuration. Most edits stay in
// memory until saveAndReconnect() stores them; changing the protocol, removing
// a topic and adding one in the topic picker save at once. Everything runs on
// the main thread.

#include "discovery/DiscoveredBroker.h"
#include "model/Records.h"
#include "model/SharedStore.h"
#include "platform/ConfigChangedSignal.h"
#include "platform/DBusReloadSignal.h"
#include "platform/EventLoop.h"
#include "ui/TopicTreeNode.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

class DisplayItemsEditor;

class SettingsWindowState {
public:
    // What changed, for the observer; several at once are or-ed together.
    enum Change : unsigned {
        kConfigChanged = 1u << 0,  // config or protocolVersion
        kMessagesChanged = 1u << 1,
        kDisplayItemsChanged = 1u << 2,
        kDiscoveredTopicsChanged = 1u << 3,  // also changes canRefreshTopicPicker()
        kTopicTreeChanged = 1u << 4,         // topicTree and pickerDiscoveredTopics
        kTopicPickerShownChanged = 1u << 5,
        kModalNewTopicChanged = 1u << 6,
        kDisplayItemsEditorChanged = 1u << 7,  // its chosen topic or typed labels
        kBrokerSearchShownChanged = 1u << 8,
    };
    using Changes = unsigned;

    static constexpr Seconds kRefreshInterval{1.0};
    static constexpr Seconds kSecondReloadDelay{0.5};

    // Reads config, messages, display items and discovered topics from the
    // store. Nothing is scheduled until windowShown().
    SettingsWindowState(SharedStore& store, EventLoop& mainLoop, ReloadSignal& reloadSignal,
                        ConfigChangedSignal& configChanged);
    ~SettingsWindowState();
    SettingsWindowState(const SettingsWindowState&) = delete;
    SettingsWindowState& operator=(const SettingsWindowState&) = delete;

    // `observer` runs synchronously after every change of the state, with
    // what changed (also when a refresh replaced a value by an equal one).
    void setChangeObserver(std::function<void(Changes)> observer);

    [[nodiscard]] const MQTTConfig& config() const { return config_; }
    [[nodiscard]] const std::vector<MQTTMessage>& messages() const { return *messages_; }
    // The same list, shared: the same pointer on the next tick means nothing
    // changed (comparing a megabyte payload is what that saves).
    [[nodiscard]] const std::shared_ptr<const std::vector<MQTTMessage>>& messagesSnapshot() const { return messages_; }
    [[nodiscard]] const std::vector<MQTTDisplayItem>& displayItems() const { return displayItems_; }
    [[nodiscard]] const TopicSet& discoveredTopics() const { return *discoveredTopics_; }
    // The selection of the protocol control, kept apart from config().
    [[nodiscard]] MQTTProtocolVersion protocolVersion() const { return protocolVersion_; }

    // --- Lifecycle -------------------------------------------------------

    // The window became visible: reloads the configuration (unsaved edits of
    // an earlier showing are discarded) and the protocol selection, and starts
    // the refresh tick; the first tick comes one interval later.
    void windowShown();
    // The window was hidden or closed: stops the refresh tick.
    void windowHidden();
    [[nodiscard]] bool isRefreshing() const { return static_cast<bool>(refreshTimer_); }

    // --- Actions ---------------------------------------------------------

    // Stores config() unchanged, drops stored messages of unconfigured topics,
    // reloads messages(), posts kConfigDidChangeNotification (the client
    // reconnects) and reloads the widget.
    void saveAndReconnect();
    // Asks the widget to reload now and once more kSecondReloadDelay later.
    void reloadWidgets();
    // One refresh tick: messages and display items, and while the topic
    // picker is shown the discovered topics, are replaced by what the store
    // holds. The configuration is not touched.
    void refreshFromStore();

    // --- Broker form -----------------------------------------------------

    void setHost(std::string host);
    void setClientID(std::string clientID);
    // The text of the user name and password fields: "" while absent.
    [[nodiscard]] std::string usernameText() const;
    [[nodiscard]] std::string passwordText() const;
    // "" makes the value absent; any other text is kept as typed, blanks too.
    void setUsernameText(std::string text);
    void setPasswordText(std::string text);
    // The port as a whole number without grouping.
    [[nodiscard]] std::string portText() const;
    // Text that is a whole number in 0...65535 (blanks around it allowed)
    // replaces the port; anything else leaves it and returns false.
    bool setPortText(std::string_view text);
    // A different value is copied into config() and saved with everything
    // else at once; the same value does nothing.
    void selectProtocolVersion(MQTTProtocolVersion version);

    // --- Topics ----------------------------------------------------------

    // The display name of `topic`, "" when it has none.
    [[nodiscard]] std::string topicLabelText(const std::string& topic) const;
    // Stores the text trimmed of blanks as the display name in config();
    // a blank text removes it. Not saved yet.
    void setTopicLabelText(const std::string& topic, std::string_view text);
    // Return in a display-name field: stores the configuration and reloads
    // the widget, without reconnecting.
    void submitTopicLabel();
    // True when a display item shows this topic: its name then comes from
    // the display items instead of a display-name field.
    [[nodiscard]] bool topicHasDisplayItems(const std::string& topic) const;
    // Removes every entry equal to `topic` and its display name, then saves
    // and reconnects. Display items of the topic stay.
    void removeTopic(const std::string& topic);
    // Appends `topic` trimmed of blanks and saves at once. Blank or already
    // configured topics change nothing; returns whether the topic was added.
    bool addTopic(std::string_view topic);
    [[nodiscard]] bool isTopicConfigured(std::string_view topic) const;

    // --- Topic picker ----------------------------------------------------

    [[nodiscard]] bool showTopicPicker() const { return showTopicPicker_; }
    // Clears the manual field, takes a snapshot of the stored discovered
    // topics, builds the tree from it and shows the picker.
    void openTopicPicker();
    // A new snapshot and tree.
    void refreshTopicPicker();
    // Builds topicTree() from pickerDiscoveredTopics().
    void rebuildTopicTree();
    // Hides the picker. Every add was saved already; nothing is undone.
    void closeTopicPicker();
    // True while the store (as of the last refresh tick or snapshot) holds a
    // different set of topics than the picker's snapshot.
    [[nodiscard]] bool canRefreshTopicPicker() const;

    [[nodiscard]] const TopicSet& pickerDiscoveredTopics() const { return *pickerDiscoveredTopics_; }
    // Shared and immutable: the picker's model keeps it while it draws.
    [[nodiscard]] std::shared_ptr<const TopicTreeNode> topicTree() const { return topicTree_; }

    [[nodiscard]] const std::string& modalNewTopic() const { return modalNewTopic_; }
    void setModalNewTopic(std::string text);
    // False while the manual field holds only blanks.
    [[nodiscard]] bool canAddModalTopic() const;
    // Adds the manual field's topic (trimmed) and clears the field, also when
    // the topic was configured already. A blank field does nothing.
    void addModalTopic();

    // --- Broker search ---------------------------------------------------

    [[nodiscard]] bool showBrokerSearch() const { return showBrokerSearch_; }
    // Shows or hides the search sheet; the sheet starts and stops the search.
    void setShowBrokerSearch(bool shown);
    // Takes the broker's host and port into config(), closes the sheet and
    // saves and reconnects at once. Nothing else of the configuration
    // changes; the configuration has no TLS setting.
    void chooseBroker(const DiscoveredBroker& broker);

    // --- Display items ---------------------------------------------------

    // The editor of the box "Anzeige-Elemente", working over this state.
    [[nodiscard]] DisplayItemsEditor& displayItemsEditor() { return *displayItemsEditor_; }
    // displayItems() = what the store holds now.
    void reloadDisplayItems();

private:
    void notify(Changes changes);

    SharedStore& store_;
    EventLoop& mainLoop_;
    ReloadSignal& reloadSignal_;
    ConfigChangedSignal& configChanged_;
    std::function<void(Changes)> observer_;

    MQTTConfig config_;
    std::shared_ptr<const std::vector<MQTTMessage>> messages_;
    std::vector<MQTTDisplayItem> displayItems_;
    std::shared_ptr<const TopicSet> discoveredTopics_;
    MQTTProtocolVersion protocolVersion_;
    TimerHandle refreshTimer_;

    struct DelayedReload {
        TimerHandle timer;
        bool fired = false;
    };
    std::list<DelayedReload> delayedReloads_;  // stable addresses for the timer actions

    bool showTopicPicker_ = false;
    bool showBrokerSearch_ = false;
    std::string modalNewTopic_;
    std::shared_ptr<const TopicSet> pickerDiscoveredTopics_;
    std::shared_ptr<const TopicTreeNode> topicTree_;

    std::unique_ptr<DisplayItemsEditor> displayItemsEditor_;
};

}  // namespace telvane
