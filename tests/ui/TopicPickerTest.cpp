#include "UiFixture.h"

#include "support/DiscoveredTopics.h"
#include "ui/picker/TopicPickerDialog.h"
#include "ui/picker/TopicTreeModel.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

namespace telvane::test {
namespace {

class TopicPickerTest : public UiFixture {
protected:
    TopicPickerDialog* openPicker()
    {
        QTest::mouseClick(find<QPushButton>("addTopicButton"), Qt::LeftButton);
        TopicPickerDialog* picker = window_->topicPicker();
        EXPECT_TRUE(QTest::qWaitFor([&] { return picker->isVisible(); }));
        return picker;
    }
    // The row of `fullPath`, an invalid index when the tree has none.
    QModelIndex row(const QString& fullPath)
    {
        QAbstractItemModel* model = window_->topicPicker()->model();
        const auto found = model->match(model->index(0, 0), TopicTreeModel::kFullPathRole, fullPath, 1,
                                        Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? QModelIndex() : found.front();
    }
    template <typename T>
    T* inPicker(const char* name)
    {
        return find<T>(name, window_->topicPicker());
    }
};

TEST_F(TopicPickerTest, AddButtonsOfLeavesSaveAtOnceAndBecomeCheckmarksAndDoneOrEscapeClose)
{
    seed(configWithTopics({"a/x"}), {}, {}, {"a/b/c", "a/x", "z"});
    openWindow();
    TopicPickerDialog* picker = openPicker();
    EXPECT_EQ(picker->windowModality(), Qt::WindowModal);
    auto* view = inPicker<QTreeView>("topicTreeView");
    EXPECT_FALSE(view->isExpanded(row("a")));
    EXPECT_TRUE(row("a/x").data(TopicTreeModel::kIsConfiguredRole).toBool());
    EXPECT_FALSE(row("a/x").data(TopicTreeModel::kCanAddRole).toBool());
    EXPECT_FALSE(row("a").data(TopicTreeModel::kCanAddRole).toBool()) << "groups have no add button";

    const QModelIndex action = row("z").siblingAtColumn(TopicTreeModel::kActionColumn);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(action).center());
    EXPECT_EQ(store_.loadConfig().topics, (std::vector<std::string>{"a/x", "z"}));
    EXPECT_EQ(reconnects_, 1);
    EXPECT_TRUE(row("z").data(TopicTreeModel::kIsConfiguredRole).toBool());
    EXPECT_TRUE(picker->isVisible()) << "adding keeps the picker open";
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(action).center());
    EXPECT_EQ(reconnects_, 1) << "a checkmark adds nothing";

    QTest::mouseClick(inPicker<QPushButton>("donePickerButton"), Qt::LeftButton);
    EXPECT_FALSE(picker->isVisible());
    openPicker();
    QTest::keyClick(picker, Qt::Key_Escape);
    EXPECT_FALSE(picker->isVisible());
    EXPECT_FALSE(window_->state().topicPicker().isShown());
}

TEST_F(TopicPickerTest, ManualTopicIsTrimmedAndBlankTextCannotBeAddedAlsoWithoutDiscoveredTopics)
{
    seed(configWithTopics({}));
    openWindow();
    openPicker();
    EXPECT_TRUE(inPicker<QLabel>("pickerEmptyLabel")->isVisible());
    auto* field = inPicker<QLineEdit>("newTopicField");
    auto* add = inPicker<QPushButton>("addNewTopicButton");
    QTest::keyClicks(field, "   ");
    EXPECT_FALSE(add->isEnabled());
    QTest::keyClicks(field, "sensors/temp  ");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(store_.loadConfig().topics, std::vector<std::string>{"sensors/temp"});
    EXPECT_EQ(field->text(), "");
}

TEST_F(TopicPickerTest, RefreshIsEnabledOnlyWhileTheStoreHoldsOtherTopicsThanTheSnapshot)
{
    seed(configWithTopics({}), {}, {}, {"a"});
    openWindow();
    openPicker();
    auto* refresh = inPicker<QPushButton>("refreshPickerButton");
    EXPECT_FALSE(refresh->isEnabled());

    telvane::test::saveDiscoveredTopics(store_, {"a", "b"});
    loop_.advance(Seconds(1));
    EXPECT_TRUE(refresh->isEnabled());
    EXPECT_FALSE(row("b").isValid()) << "the picker keeps its snapshot until asked";

    QTest::mouseClick(refresh, Qt::LeftButton);
    EXPECT_FALSE(refresh->isEnabled());
    EXPECT_TRUE(row("b").isValid());
    loop_.advance(Seconds(1));  // a tick that finds the same set
    EXPECT_FALSE(refresh->isEnabled());
}

}  // namespace
}  // namespace telvane::test
