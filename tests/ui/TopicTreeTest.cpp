#include "ui/TopicTreeModel.h"
#include "ui/TopicTreeNode.h"

#include <gtest/gtest.h>

namespace telvane {
namespace {

// The tree as the picker shows it: sorted rows, "name" for a leaf and
// "name(children...)" for a group, each with its full path where it matters.
std::string drawn(const TopicTreeModel& model, const QModelIndex& parent = {})
{
    std::string out;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, 0, parent);
        if (!out.empty()) {
            out += ' ';
        }
        out += index.data().toString().toStdString();
        if (model.hasChildren(index)) {
            out += '(' + drawn(model, index) + ')';
        } else {
            out += '=' + index.data(TopicTreeModel::kFullPathRole).toString().toStdString();
        }
    }
    return out;
}

std::string drawnTree(const TopicSet& topics)
{
    TopicTreeModel model;
    model.setTree(std::make_shared<const TopicTreeNode>(buildTopicTree(topics)));
    return drawn(model);
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
        {"upper case first, then by letter", {"beta", "Alpha", "alpha"}, "Alpha=Alpha alpha=alpha beta=beta"},
        {"B before a", {"a", "B"}, "B=B a=a"},
        // Decomposed e + combining acute is U+00E9 in NFC, which sorts after "f".
        {"compared in NFC", {"e\u0301", "f", "d"}, "d=d f=f e\u0301=e\u0301"},
        {"scalar order, not UTF-16 order", {"\U0001F600", "\uFF21"}, "\uFF21=\uFF21 \U0001F600=\U0001F600"},
        {"case-sensitive levels are different nodes", {"A/b", "a/b"}, "A(b=A/b) a(b=a/b)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(drawnTree(c.topics), c.tree);
    }
}

TEST(TopicTreeTest, NodesKeepTheLeafFlagTheyWereCreatedWith)
{
    const TopicTreeNode root = buildTopicTree({"a"});
    EXPECT_FALSE(root.isLeaf);
    EXPECT_TRUE(root.name.empty() && root.fullPath.empty());
    ASSERT_EQ(root.children.size(), 1u);
    EXPECT_TRUE(root.children[0].isLeaf);

    // Whichever order the set iterates in, "a" exists as a group with "b".
    const TopicTreeNode both = buildTopicTree({"a", "a/b"});
    ASSERT_EQ(both.children.size(), 1u);
    EXPECT_EQ(both.children[0].children.size(), 1u);
    EXPECT_TRUE(both.children[0].children[0].isLeaf);
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
    while (!node->children.empty()) {
        node = &node->children.front();
        ++depth;
    }
    EXPECT_EQ(depth, 30000);
    EXPECT_TRUE(node->isLeaf);
}

TEST(TopicTreeTest, ModelIndexesLeadIntoGroupsAndBack)
{
    TopicTreeModel model;
    model.setTree(std::make_shared<const TopicTreeNode>(buildTopicTree({"g/b", "g/a", "leaf"})));
    const QModelIndex group = model.index(0, 0);
    EXPECT_TRUE(model.hasChildren(group));
    EXPECT_FALSE(model.hasChildren(model.index(1, 0)));
    EXPECT_EQ(model.index(0, 0, group).data().toString(), "a");
    EXPECT_EQ(model.parent(model.index(0, 0, group)), group);
    EXPECT_FALSE(model.parent(group).isValid());
}

}  // namespace
}  // namespace telvane
