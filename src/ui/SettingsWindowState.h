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
#include "platform/EventLoop.h"
#include "platform/ReloadSignal.h"
#include "ui/StateChanges.h"
#include "ui/displayitems/DisplayItemsEditor.h"
#include "ui/picker/TopicPickerState.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

class SettingsWindowState final : public DisplayItemsEditor::Window {
public:
    static constexpr Seconds kRefreshInterval{1.0};
    static constexpr Seconds kSecondReloadDelay{0.5};

    // Reads config, messages and display items from the store. Nothing is
    // scheduled until windowShown(). `configSaved` runs after every save
    // step: the client then connects with what was stored.
    SettingsWindowState(SharedStore& store, EventLoop& mainLoop, ReloadSignal& reloadSignal,
                        std::function<void()> configSaved);
    ~SettingsWindowState();
    SettingsWindowState(const SettingsWindowState&) = delete;
    SettingsWindowState& operator=(const SettingsWindowState&) = delete;

    // `observer` runs synchronously after every change of the state, with
    // what changed (also when a refresh replaced a value by an equal one).
    void setChangeObserver(std::function<void(StateChanges)> observer);

    [[nodiscard]] const MQTTConfig& config() const { return config_; }
    [[nodiscard]] const std::vector<MQTTMessage>& messages() const { return *messages_; }
    // The same list, shared: the same pointer on the next tick means nothing
    // changed (comparing a megabyte payload is what that saves).
    [[nodiscard]] const std::shared_ptr<const std::vector<MQTTMessage>>& messagesSnapshot() const override
    {
        return messages_;
    }
    [[nodiscard]] const std::vector<std::string>& configuredTopics() const override { return config_.topics; }
    [[nodiscard]] const std::vector<MQTTDisplayItem>& displayItems() const override { return displayItems_; }
    // The selection of the protocol control, kept apart from config().
    [[nodiscard]] MQTTProtocolVersion protocolVersion() const { return protocolVersion_; }

    // --- Lifecycle -------------------------------------------------------

    // The window became visible: reloads the configuration (unsaved edits of
    // an earlier showing are discarded) and the protocol selection, and starts
    // the refresh tick; the first tick comes one interval later.
    void windowShown();
    // The window was hidden or closed: stops the refresh tick.
    void windowHidden();

    // --- Actions ---------------------------------------------------------

    // Stores config() unchanged, drops stored messages of unconfigured topics,
    // reloads messages(), runs `configSaved` (the client reconnects) and
    // reloads the widget.
    void saveAndReconnect();
    // Asks the widget to reload now and once more kSecondReloadDelay later.
    void reloadWidgets() override;
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

    [[nodiscard]] TopicPickerState& topicPicker() { return topicPicker_; }

    // --- Broker search ---------------------------------------------------

    [[nodiscard]] bool showBrokerSearch() const { return showBrokerSearch_; }
    // Shows or hides the search dialog; the dialog starts and stops the search.
    void setShowBrokerSearch(bool shown);
    // Takes the broker's host and port into config(), closes the dialog and
    // saves and reconnects at once. Nothing else of the configuration
    // changes; the configuration has no TLS setting.
    void chooseBroker(const DiscoveredBroker& broker);

    // --- Display items ---------------------------------------------------

    // The editor of the box "Anzeige-Elemente", working over this state.
    [[nodiscard]] DisplayItemsEditor& displayItemsEditor() { return displayItemsEditor_; }
    // displayItems() = what the store holds now.
    void reloadDisplayItems() override;

private:
    void notify(StateChanges changes);

    SharedStore& store_;
    EventLoop& mainLoop_;
    ReloadSignal& reloadSignal_;
    std::function<void()> configSaved_;
    std::function<void(StateChanges)> observer_;

    MQTTConfig config_;
    std::shared_ptr<const std::vector<MQTTMessage>> messages_;
    std::vector<MQTTDisplayItem> displayItems_;
    MQTTProtocolVersion protocolVersion_;
    TimerHandle refreshTimer_;

    struct DelayedReload {
        TimerHandle timer;
        bool fired = false;
    };
    std::list<DelayedReload> delayedReloads_;  // stable addresses for the timer actions

    bool showBrokerSearch_ = false;
    TopicPickerState topicPicker_;
    DisplayItemsEditor displayItemsEditor_;
};

}  // namespace telvane
