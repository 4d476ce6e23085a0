#pragma once

// The discovered topics as a tree split at "/", for the topic picker.

#include "model/SharedStore.h"

#include <string>
#include <string_view>
#include <vector>

namespace telvane {

struct TopicTreeNode {
    std::string name;                     // one topic level; empty only in the root
    std::string fullPath;                 // the node's levels from the top, joined by "/"; the row identity
    std::vector<TopicTreeNode> children;  // in the order they were first inserted
    // True when the node was created for the last level of a topic. Whether
    // the picker offers a node for adding depends on `children` only.
    bool isLeaf = false;

    TopicTreeNode() = default;
    TopicTreeNode(std::string nodeName, std::string nodePath, bool leaf)
        : name(std::move(nodeName)),
          fullPath(std::move(nodePath)),
          isLeaf(leaf)
    {}
    TopicTreeNode(const TopicTreeNode&) = default;
    TopicTreeNode(TopicTreeNode&&) noexcept = default;
    TopicTreeNode& operator=(const TopicTreeNode&) = default;
    TopicTreeNode& operator=(TopicTreeNode&&) noexcept = default;
    // Iterative: a broker may send a topic of thousands of levels, and a
    // recursive teardown of such a chain would overflow the stack.
    ~TopicTreeNode();
};

// The non-empty levels of `topic`: "/a//b/" gives "a" and "b".
[[nodiscard]] std::vector<std::string_view> topicLevels(std::string_view topic);

// The tree of `topics`: a root with empty name and path, one node per distinct
// level sequence, equal levels merged, children in insertion order (which
// follows the set's iteration order). Topics without levels ("", "/") are
// skipped. Linear in the total length of the topics.
[[nodiscard]] TopicTreeNode buildTopicTree(const TopicSet& topics);

}  // namespace telvane
