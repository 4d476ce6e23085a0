#pragma once

// The state and actions of the topic picker, without widgets: whether it is
// shown, the snapshot of discovered topics its tree shows, and the field for
// typing a topic.
//
// The tree shows a snapshot: topics the broker reveals while the picker is
// open only enable "Aktualisieren", so rows do not move under the pointer.
// The stored set is read only while the picker is shown: it may hold 100,000
// topics that take tens of milliseconds to decode.

#include "model/SharedStore.h"
#include "ui/StateChanges.h"
#include "ui/picker/TopicTreeNode.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace telvane {

class TopicPickerState {
public:
    // `addTopic` adds a topic to the configuration and saves it, returning
    // whether it was added. `changed` runs after every change of the picker.
    TopicPickerState(SharedStore& store, std::function<bool(std::string_view)> addTopic,
                     std::function<void(StateChanges)> changed);

    [[nodiscard]] bool isShown() const { return shown_; }
    // Clears the manual field, takes a snapshot of the stored discovered
    // topics, builds the tree from it and shows the picker.
    void open();
    // Hides the picker. Every add was saved already; nothing is undone.
    void close();
    // A new snapshot and tree.
    void refresh();
    // The window's refresh tick: while shown, reads the stored set again to
    // compare it with the snapshot. Does nothing while hidden.
    void followStore();
    // True while the store (as of the last tick or snapshot) holds a
    // different set of topics than the snapshot.
    [[nodiscard]] bool canRefresh() const;

    [[nodiscard]] const TopicSet& snapshot() const { return *snapshot_; }
    // The stored set as of the last read; empty before the first opening.
    [[nodiscard]] const TopicSet& storedTopics() const { return *stored_; }
    // Shared and immutable: the picker's model keeps it while it draws.
    [[nodiscard]] std::shared_ptr<const TopicTreeNode> tree() const { return tree_; }

    // A click in the tree: adds `topic` as it is. Returns whether it was added.
    bool addTopic(std::string_view topic) { return addTopic_(topic); }

    // The manual field.
    [[nodiscard]] const std::string& newTopicText() const { return newTopicText_; }
    void setNewTopicText(std::string text);
    // False while the field holds only blanks.
    [[nodiscard]] bool canAddNewTopic() const;
    // Adds the field's topic (trimmed) and clears the field, also when the
    // topic was configured already. A blank field does nothing.
    void addNewTopic();

private:
    void takeSnapshot();

    SharedStore& store_;
    std::function<bool(std::string_view)> addTopic_;
    std::function<void(StateChanges)> changed_;

    bool shown_ = false;
    std::string newTopicText_;
    std::shared_ptr<const TopicSet> snapshot_;
    std::shared_ptr<const TopicSet> stored_;
    std::shared_ptr<const TopicTreeNode> tree_;
};

}  // namespace telvane
