#include "ui/TopicTreeNode.h"

#include <cstdint>
#include <unordered_map>

namespace telvane {

TopicTreeNode::~TopicTreeNode()
{
    std::vector<TopicTreeNode> pending = std::move(children);
    while (!pending.empty()) {
        TopicTreeNode node = std::move(pending.back());
        pending.pop_back();
        for (auto& child : node.children) {
            pending.push_back(std::move(child));
        }
        node.children.clear();
    }
}

std::vector<std::string_view> topicLevels(std::string_view topic)
{
    std::vector<std::string_view> levels;
    std::size_t start = 0;
    while (start <= topic.size()) {
        const std::size_t slash = topic.find('/', start);
        const std::size_t end = slash == std::string_view::npos ? topic.size() : slash;
        if (end > start) {
            levels.push_back(topic.substr(start, end - start));
        }
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    return levels;
}

namespace {

// The tree is first built flat, with a hash index per path, so that a level
// with a hundred thousand siblings does not make each insert scan them all.
struct FlatNode {
    std::string name;
    std::string fullPath;
    bool isLeaf = false;
    std::vector<std::uint32_t> children;
};

}  // namespace

TopicTreeNode buildTopicTree(const TopicSet& topics)
{
    std::vector<FlatNode> nodes(1);  // the root
    // Levels cannot contain "/", so a path names exactly one level sequence.
    std::unordered_map<std::string, std::uint32_t> byPath;
    byPath.reserve(topics.size() * 2);

    for (const auto& topic : topics) {
        std::uint32_t parent = 0;
        std::string path;
        const auto levels = topicLevels(topic);
        for (std::size_t i = 0; i < levels.size(); ++i) {
            if (!path.empty()) {
                path += '/';
            }
            path += levels[i];
            const bool last = i + 1 == levels.size();
            const auto [it, inserted] = byPath.try_emplace(path, static_cast<std::uint32_t>(nodes.size()));
            if (inserted) {
                nodes.push_back(FlatNode{std::string(levels[i]), path, last, {}});
                nodes[parent].children.push_back(it->second);
            }
            parent = it->second;
        }
    }

    // Children always come after their parent, so converting from the back
    // finds every child finished before its parent.
    std::vector<TopicTreeNode> built(nodes.size());
    const auto adoptChildren = [&built](TopicTreeNode& node, const FlatNode& flat) {
        node.children.reserve(flat.children.size());
        for (const std::uint32_t child : flat.children) {
            node.children.push_back(std::move(built[child]));
        }
    };
    for (std::size_t i = nodes.size() - 1; i > 0; --i) {
        FlatNode& flat = nodes[i];
        TopicTreeNode node(std::move(flat.name), std::move(flat.fullPath), flat.isLeaf);
        adoptChildren(node, flat);
        built[i] = std::move(node);
    }
    TopicTreeNode root;
    adoptChildren(root, nodes.front());
    return root;
}

}  // namespace telvane
