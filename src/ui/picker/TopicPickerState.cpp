#include "ui/picker/TopicPickerState.h"

#include "ui/TextTrimming.h"

namespace telvane {

TopicPickerState::TopicPickerState(SharedStore& store, std::function<bool(std::string_view)> addTopic,
                                   std::function<void(StateChanges)> changed)
    : store_(store),
      addTopic_(std::move(addTopic)),
      changed_(std::move(changed)),
      snapshot_(std::make_shared<const TopicSet>()),
      stored_(snapshot_),
      tree_(std::make_shared<const TopicTreeNode>())
{}

void TopicPickerState::takeSnapshot()
{
    snapshot_ = store_.loadDiscoveredTopics();
    stored_ = snapshot_;
    tree_ = std::make_shared<const TopicTreeNode>(buildTopicTree(*snapshot_));
}

void TopicPickerState::open()
{
    newTopicText_.clear();
    takeSnapshot();
    shown_ = true;
    changed_(change::kNewTopicText | change::kDiscoveredTopics | change::kTopicTree | change::kTopicPickerShown);
}

void TopicPickerState::close()
{
    if (!shown_) {
        return;
    }
    shown_ = false;
    changed_(change::kTopicPickerShown);
}

void TopicPickerState::refresh()
{
    takeSnapshot();
    changed_(change::kDiscoveredTopics | change::kTopicTree);
}

void TopicPickerState::followStore()
{
    if (!shown_) {
        return;
    }
    stored_ = store_.loadDiscoveredTopics();
    changed_(change::kDiscoveredTopics);
}

bool TopicPickerState::canRefresh() const
{
    // The store hands out the same snapshot until the set changes, so the
    // pointer test settles almost every tick without comparing the sets.
    return snapshot_ != stored_ && *snapshot_ != *stored_;
}

void TopicPickerState::setNewTopicText(std::string text)
{
    newTopicText_ = std::move(text);
    changed_(change::kNewTopicText);
}

bool TopicPickerState::canAddNewTopic() const
{
    return !isBlank(newTopicText_);
}

void TopicPickerState::addNewTopic()
{
    const std::string topic = trimBlanks(newTopicText_);
    if (topic.empty()) {
        return;
    }
    addTopic_(topic);
    newTopicText_.clear();
    changed_(change::kNewTopicText);
}

}  // namespace telvane
