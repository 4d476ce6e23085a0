#include "ui/picker/TopicTreeModel.h"
#include "ui/picker/TopicTreeNode.h"

#include <gtest/gtest.h>

namespace telvane {
namespace {

// The tree as the picker shows it: sorted rows, "name=full/path" for a leaf and
// "name(children...)" for a group. Every row must lead back to its parent.
std::string drawn(const TopicTreeModel& model, const QModelIndex& parent = {})
{
    std::string out;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, 0, parent);
        EXPECT_EQ(model.parent(index), parent);
        out += (out.empty() ? "" : " ") + index.data().toString().toStdString();
        if (model.hasChildren(index)) {
            out += '(' + drawn(model, index) + ')';
        } else {
            out += '=' + index.data(TopicTreeModel::kFullPathRole).toString().toStdString();
        }
    }
    return out;
}

TEST(TopicTreeTest, TopicsBecomeSortedLevelsWithGroupsAndLeaves)
{
    struct Case {
        const char* what;
        TopicSet topics;
        std::string tree;
    };
    const std::vector<Case> cases{
        {"levels", {"a/b/c", "a/b/d", "a/x", "z"}, "a(b(c=a/b/c d=a/b/d) x=a/x) z=z"},
        {"empty levels collapse", {"/a", "a"}, "a=a"},
        {"doubled and trailing slashes", {"/a//b/"}, "a(b=a/b)"},
        {"a topic that prefixes another is a group", {"a", "a/b"}, "a(b=a/b)"},
        {"no levels: skipped", {"", "/", "//"}, ""},
        {"no case folding", {"beta", "Alpha", "alpha", "B"}, "Alpha=Alpha B=B alpha=alpha beta=beta"},
        // Decomposed e + combining acute is U+00E9 in NFC, which sorts after "f".
        {"compared in NFC", {"e\u0301", "f", "d"}, "d=d f=f e\u0301=e\u0301"},
        {"scalar order, not UTF-16 order", {"\U0001F600", "\uFF21"}, "\uFF21=\uFF21 \U0001F600=\U0001F600"},
        {"case-sensitive levels are different nodes", {"A/b", "a/b"}, "A(b=A/b) a(b=a/b)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TopicTreeModel model;
        model.setTree(std::make_shared<const TopicTreeNode>(buildTopicTree(c.topics)));
        EXPECT_EQ(drawn(model), c.tree);
    }
}

TEST(TopicTreeTest, AVeryDeepTopicBuildsAndTearsDownWithoutRecursion)
{
    std::string topic;
    for (int i = 0; i < 30000; ++i) {
        topic += "a/";
    }
    const TopicTreeNode root = buildTopicTree({topic});
    const TopicTreeNode* node = &root;
    int depth = 0;
    for (; !node->children.empty(); node = &node->children.front()) {
        ++depth;
    }
    EXPECT_EQ(depth, 30000);
    EXPECT_TRUE(node->isLeaf);
}

}  // namespace
}  // namespace telvane
