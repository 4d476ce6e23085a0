#include "ui/SettingsWindowState.h"

#include "ui/TextTrimming.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace telvane {

SettingsWindowState::SettingsWindowState(SharedStore& store, EventLoop& mainLoop, ReloadSignal& reloadSignal,
                                         std::function<void()> configSaved)
    : store_(store),
      mainLoop_(mainLoop),
      reloadSignal_(reloadSignal),
      configSaved_(std::move(configSaved)),
      config_(store.loadConfig()),
      messages_(store.messagesSnapshot()),
      displayItems_(store.loadDisplayItems()),
      protocolVersion_(config_.protocolVersion),
      topicPicker_(
          store, [this](std::string_view topic) { return addTopic(topic); },
          [this](StateChanges changes) { notify(changes); }),
      displayItemsEditor_(store, *this, [this] { notify(change::kDisplayItemsEditor); })
{}

SettingsWindowState::~SettingsWindowState() = default;

void SettingsWindowState::setChangeObserver(std::function<void(StateChanges)> observer)
{
    observer_ = std::move(observer);
}

void SettingsWindowState::notify(StateChanges changes)
{
    if (observer_) {
        observer_(changes);
    }
}

void SettingsWindowState::windowShown()
{
    config_ = store_.loadConfig();
    protocolVersion_ = config_.protocolVersion;
    refreshTimer_ = mainLoop_.schedule(kRefreshInterval, true, [this] { refreshFromStore(); });
    notify(change::kConfig);
}

void SettingsWindowState::windowHidden()
{
    refreshTimer_.invalidate();
}

void SettingsWindowState::saveAndReconnect()
{
    store_.saveConfig(config_);
    store_.pruneMessages(config_.topics);
    messages_ = store_.messagesSnapshot();
    notify(change::kMessages);
    if (configSaved_) {
        configSaved_();
    }
    reloadWidgets();
}

void SettingsWindowState::reloadWidgets()
{
    reloadSignal_.emitReload();
    delayedReloads_.remove_if([](const DelayedReload& reload) { return reload.fired; });
    DelayedReload& reload = delayedReloads_.emplace_back();
    reload.timer = mainLoop_.schedule(kSecondReloadDelay, false, [this, &reload] {
        reload.fired = true;
        reloadSignal_.emitReload();
    });
}

void SettingsWindowState::refreshFromStore()
{
    messages_ = store_.messagesSnapshot();
    displayItems_ = store_.loadDisplayItems();
    notify(change::kMessages | change::kDisplayItems);
    topicPicker_.followStore();
}

void SettingsWindowState::setHost(std::string host)
{
    config_.host = std::move(host);
    notify(change::kConfig);
}

void SettingsWindowState::setClientID(std::string clientID)
{
    config_.clientID = std::move(clientID);
    notify(change::kConfig);
}

std::string SettingsWindowState::usernameText() const
{
    return config_.username.value_or("");
}

std::string SettingsWindowState::passwordText() const
{
    return config_.password.value_or("");
}

void SettingsWindowState::setUsernameText(std::string text)
{
    config_.username = text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
    notify(change::kConfig);
}

void SettingsWindowState::setPasswordText(std::string text)
{
    config_.password = text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
    notify(change::kConfig);
}

std::string SettingsWindowState::portText() const
{
    return std::to_string(config_.port);
}

bool SettingsWindowState::setPortText(std::string_view text)
{
    const std::string digits = trimBlanks(text);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()
        || value > std::numeric_limits<std::uint16_t>::max()) {
        return false;
    }
    config_.port = static_cast<std::uint16_t>(value);
    notify(change::kConfig);
    return true;
}

void SettingsWindowState::selectProtocolVersion(MQTTProtocolVersion version)
{
    if (version == protocolVersion_) {
        return;
    }
    protocolVersion_ = version;
    config_.protocolVersion = version;
    notify(change::kConfig);
    saveAndReconnect();
}

std::string SettingsWindowState::topicLabelText(const std::string& topic) const
{
    const auto it = config_.topicLabels.find(topic);
    return it == config_.topicLabels.end() ? std::string() : it->second;
}

void SettingsWindowState::setTopicLabelText(const std::string& topic, std::string_view text)
{
    std::string label = trimBlanks(text);
    if (label.empty()) {
        config_.topicLabels.erase(topic);
    } else {
        config_.topicLabels[topic] = std::move(label);
    }
    notify(change::kConfig);
}

void SettingsWindowState::submitTopicLabel()
{
    store_.saveConfig(config_);
    reloadWidgets();
}

bool SettingsWindowState::topicHasDisplayItems(const std::string& topic) const
{
    return std::any_of(displayItems_.begin(), displayItems_.end(),
                       [&](const MQTTDisplayItem& item) { return item.topic == topic; });
}

void SettingsWindowState::removeTopic(const std::string& topic)
{
    config_.topicLabels.erase(topic);
    // The predicate owns its text: `topic` may be one of the entries erased here.
    std::erase_if(config_.topics, [removed = topic](const std::string& entry) { return entry == removed; });
    notify(change::kConfig);
    saveAndReconnect();
}

bool SettingsWindowState::isTopicConfigured(std::string_view topic) const
{
    return std::find(config_.topics.begin(), config_.topics.end(), topic) != config_.topics.end();
}

bool SettingsWindowState::addTopic(std::string_view topic)
{
    std::string trimmed = trimBlanks(topic);
    if (trimmed.empty() || isTopicConfigured(trimmed)) {
        return false;
    }
    config_.topics.push_back(std::move(trimmed));
    notify(change::kConfig);
    saveAndReconnect();
    return true;
}

void SettingsWindowState::setShowBrokerSearch(bool shown)
{
    if (showBrokerSearch_ == shown) {
        return;
    }
    showBrokerSearch_ = shown;
    notify(change::kBrokerSearchShown);
}

void SettingsWindowState::chooseBroker(const DiscoveredBroker& broker)
{
    config_.host = broker.host;
    config_.port = broker.port;
    notify(change::kConfig);
    setShowBrokerSearch(false);
    saveAndReconnect();
}

void SettingsWindowState::reloadDisplayItems()
{
    displayItems_ = store_.loadDisplayItems();
    notify(change::kDisplayItems);
}

}  // namespace telvane
