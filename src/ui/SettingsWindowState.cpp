#include "ui/SettingsWindowState.h"

#include "ui/DisplayItemsEditor.h"
#include "ui/TextTrimming.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace telvane {

namespace {

bool sameTopics(const std::shared_ptr<const TopicSet>& a, const std::shared_ptr<const TopicSet>& b)
{
    // The store hands out the same snapshot until the set changes, so the
    // pointer test settles almost every tick without comparing the sets.
    return a == b || *a == *b;
}

}  // namespace

SettingsWindowState::SettingsWindowState(SharedStore& store, EventLoop& mainLoop, ReloadSignal& reloadSignal,
                                         ConfigChangedSignal& configChanged)
    : store_(store),
      mainLoop_(mainLoop),
      reloadSignal_(reloadSignal),
      configChanged_(configChanged),
      config_(store.loadConfig()),
      messages_(store.messagesSnapshot()),
      displayItems_(store.loadDisplayItems()),
      discoveredTopics_(store.loadDiscoveredTopics()),
      protocolVersion_(config_.protocolVersion),
      pickerDiscoveredTopics_(std::make_shared<const TopicSet>()),
      topicTree_(std::make_shared<const TopicTreeNode>()),
      displayItemsEditor_(
          std::make_unique<DisplayItemsEditor>(store, *this, [this] { notify(kDisplayItemsEditorChanged); }))
{}

SettingsWindowState::~SettingsWindowState() = default;

void SettingsWindowState::setChangeObserver(std::function<void(Changes)> observer)
{
    observer_ = std::move(observer);
}

void SettingsWindowState::notify(Changes changes)
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
    notify(kConfigChanged);
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
    notify(kMessagesChanged);
    configChanged_.post();
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
    // Only the picker's refresh button reads the discovered topics, and the
    // set may hold 100,000 topics that take tens of milliseconds to decode
    // after each change: read them only while the picker is shown.
    if (!showTopicPicker_) {
        notify(kMessagesChanged | kDisplayItemsChanged);
        return;
    }
    discoveredTopics_ = store_.loadDiscoveredTopics();
    notify(kMessagesChanged | kDisplayItemsChanged | kDiscoveredTopicsChanged);
}

void SettingsWindowState::setHost(std::string host)
{
    config_.host = std::move(host);
    notify(kConfigChanged);
}

void SettingsWindowState::setClientID(std::string clientID)
{
    config_.clientID = std::move(clientID);
    notify(kConfigChanged);
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
    notify(kConfigChanged);
}

void SettingsWindowState::setPasswordText(std::string text)
{
    config_.password = text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
    notify(kConfigChanged);
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
    notify(kConfigChanged);
    return true;
}

void SettingsWindowState::selectProtocolVersion(MQTTProtocolVersion version)
{
    if (version == protocolVersion_) {
        return;
    }
    protocolVersion_ = version;
    config_.protocolVersion = version;
    notify(kConfigChanged);
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
    notify(kConfigChanged);
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
    notify(kConfigChanged);
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
    notify(kConfigChanged);
    saveAndReconnect();
    return true;
}

void SettingsWindowState::openTopicPicker()
{
    modalNewTopic_.clear();
    pickerDiscoveredTopics_ = store_.loadDiscoveredTopics();
    discoveredTopics_ = pickerDiscoveredTopics_;
    rebuildTopicTree();
    showTopicPicker_ = true;
    notify(kModalNewTopicChanged | kDiscoveredTopicsChanged | kTopicPickerShownChanged);
}

void SettingsWindowState::refreshTopicPicker()
{
    pickerDiscoveredTopics_ = store_.loadDiscoveredTopics();
    discoveredTopics_ = pickerDiscoveredTopics_;
    notify(kDiscoveredTopicsChanged);
    rebuildTopicTree();
}

void SettingsWindowState::rebuildTopicTree()
{
    topicTree_ = std::make_shared<const TopicTreeNode>(buildTopicTree(*pickerDiscoveredTopics_));
    notify(kTopicTreeChanged);
}

void SettingsWindowState::closeTopicPicker()
{
    if (!showTopicPicker_) {
        return;
    }
    showTopicPicker_ = false;
    notify(kTopicPickerShownChanged);
}

void SettingsWindowState::setShowBrokerSearch(bool shown)
{
    if (showBrokerSearch_ == shown) {
        return;
    }
    showBrokerSearch_ = shown;
    notify(kBrokerSearchShownChanged);
}

void SettingsWindowState::chooseBroker(const DiscoveredBroker& broker)
{
    config_.host = broker.host;
    config_.port = broker.port;
    notify(kConfigChanged);
    setShowBrokerSearch(false);
    saveAndReconnect();
}

bool SettingsWindowState::canRefreshTopicPicker() const
{
    return !sameTopics(pickerDiscoveredTopics_, discoveredTopics_);
}

void SettingsWindowState::setModalNewTopic(std::string text)
{
    modalNewTopic_ = std::move(text);
    notify(kModalNewTopicChanged);
}

bool SettingsWindowState::canAddModalTopic() const
{
    return !isBlank(modalNewTopic_);
}

void SettingsWindowState::addModalTopic()
{
    const std::string topic = trimBlanks(modalNewTopic_);
    if (topic.empty()) {
        return;
    }
    addTopic(topic);
    modalNewTopic_.clear();
    notify(kModalNewTopicChanged);
}

void SettingsWindowState::reloadDisplayItems()
{
    displayItems_ = store_.loadDisplayItems();
    notify(kDisplayItemsChanged);
}

}  // namespace telvane
