#include "ui/picker/TopicTreeNode.h"

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

// The tree is first built flat, with a hash index of (parent, level), so that
// a level with a hundred thousand siblings does not make each insert scan
// them all.
struct FlatNode {
    std::string name;
    std::string fullPath;
    bool isLeaf = false;
    std::vector<std::uint32_t> children;
};

struct LevelKey {
    std::uint32_t parent;
    std::string_view name;  // points into the topic set, which outlives the index
    bool operator==(const LevelKey&) const = default;
};

struct LevelKeyHash {
    std::size_t operator()(const LevelKey& key) const
    {
        return std::hash<std::string_view>{}(key.name) ^ (std::size_t{key.parent} * 0x9E3779B97F4A7C15ULL);
    }
};

}  // namespace

TopicTreeNode buildTopicTree(const TopicSet& topics)
{
    std::vector<FlatNode> nodes(1);  // the root
    nodes.reserve(topics.size() * 2);
    std::unordered_map<LevelKey, std::uint32_t, LevelKeyHash> index;
    index.reserve(topics.size() * 2);

    for (const auto& topic : topics) {
        std::uint32_t parent = 0;
        const auto levels = topicLevels(topic);
        for (std::size_t i = 0; i < levels.size(); ++i) {
            const auto [it, inserted] =
                index.try_emplace(LevelKey{parent, levels[i]}, static_cast<std::uint32_t>(nodes.size()));
            if (inserted) {
                const bool last = i + 1 == levels.size();
                std::string path = parent == 0 ? std::string() : nodes[parent].fullPath + '/';
                path += levels[i];
                nodes.push_back(FlatNode{std::string(levels[i]), std::move(path), last, {}});
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
