#include "UiFixture.h"

#include "ui/TopicPickerDialog.h"
#include "ui/TopicTreeModel.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTreeView>

namespace telvane::test {
namespace {

class TopicPickerTest : public WindowFixture {
protected:
    TopicPickerDialog* openPicker()
    {
        QTest::mouseClick(find<QPushButton>("addTopicButton"), Qt::LeftButton);
        TopicPickerDialog* picker = window_->topicPicker();
        EXPECT_TRUE(QTest::qWaitFor([&] { return picker->isVisible(); }));
        return picker;
    }
    QModelIndex row(const QString& path)
    {
        auto* model = window_->topicPicker()->model();
        QModelIndex parent;
        QModelIndex found;
        for (const QString& level : path.split('/')) {
            found = {};
            for (int r = 0; r < model->rowCount(parent); ++r) {
                if (model->index(r, 0, parent).data().toString() == level) {
                    found = model->index(r, 0, parent);
                }
            }
            parent = found;
        }
        return found;
    }
    template <typename T>
    T* inPicker(const char* name)
    {
        return window_->topicPicker()->findChild<T*>(QLatin1String(name));
    }
};

TEST_F(TopicPickerTest, OpensWindowModalWithCollapsedGroupsAndCheckmarksForConfiguredTopics)
{
    seed(configWithTopics({"a/x"}), {}, {}, {"a/b/c", "a/x", "z"});
    openWindow();
    TopicPickerDialog* picker = openPicker();
    EXPECT_EQ(picker->windowModality(), Qt::WindowModal);
    auto* view = inPicker<QTreeView>("topicTreeView");
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->isVisible());
    EXPECT_FALSE(view->isExpanded(row("a")));
    EXPECT_FALSE(inPicker<QPushButton>("refreshPickerButton")->isEnabled());

    EXPECT_TRUE(row("a/x").data(TopicTreeModel::kIsConfiguredRole).toBool());
    EXPECT_FALSE(row("a/x").data(TopicTreeModel::kCanAddRole).toBool());
    EXPECT_FALSE(row("a").data(TopicTreeModel::kCanAddRole).toBool()) << "groups have no add button";
    EXPECT_TRUE(row("z").data(TopicTreeModel::kCanAddRole).toBool());
}

TEST_F(TopicPickerTest, ClickingAnAddButtonSavesAtOnceAndShowsTheCheckmark)
{
    seed(configWithTopics({}), {}, {}, {"/a", "a", "z"});
    openWindow();
    openPicker();
    auto* view = inPicker<QTreeView>("topicTreeView");
    const QModelIndex action = row("a").siblingAtColumn(TopicTreeModel::kActionColumn);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(action).center());

    EXPECT_EQ(store_.loadConfig().topics, std::vector<std::string>{"a"});
    EXPECT_EQ(configNotifications(), 1);
    EXPECT_EQ(reloader_.count, 1);
    EXPECT_TRUE(row("a").data(TopicTreeModel::kIsConfiguredRole).toBool());
    EXPECT_TRUE(window_->topicPicker()->isVisible()) << "adding keeps the picker open";

    // A second click on the checkmark adds nothing.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(action).center());
    EXPECT_EQ(configNotifications(), 1);
}

TEST_F(TopicPickerTest, ManualTopicIsTrimmedAndTheFieldClearedAlsoForDuplicates)
{
    seed(configWithTopics({"a/x"}));
    openWindow();
    openPicker();
    auto* field = inPicker<QLineEdit>("newTopicField");
    auto* add = inPicker<QPushButton>("addNewTopicButton");
    EXPECT_FALSE(add->isEnabled());

    field->setFocus();
    QTest::keyClicks(field, "   ");
    EXPECT_FALSE(add->isEnabled()) << "blank input cannot be added";
    field->clear();
    QTest::keyClicks(field, "  sensors/temp  ");
    EXPECT_TRUE(add->isEnabled());
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(configNotifications(), 0) << "Return does nothing special";
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(store_.loadConfig().topics, (std::vector<std::string>{"a/x", "sensors/temp"}));
    EXPECT_EQ(field->text(), "");
    EXPECT_EQ(configNotifications(), 1);

    QTest::keyClicks(field, "a/x");
    QTest::mouseClick(add, Qt::LeftButton);
    EXPECT_EQ(store_.loadConfig().topics.size(), 2u);
    EXPECT_EQ(configNotifications(), 1);
    EXPECT_EQ(field->text(), "");
}

TEST_F(TopicPickerTest, EmptyStoreShowsTheHintAndTheManualRowStillWorks)
{
    seed(configWithTopics({}));
    openWindow();
    openPicker();
    auto* empty = inPicker<QLabel>("pickerEmptyLabel");
    EXPECT_TRUE(empty->isVisible());
    EXPECT_TRUE(empty->text().startsWith("Noch keine Topics vom Broker entdeckt."));
    EXPECT_FALSE(inPicker<QPushButton>("refreshPickerButton")->isEnabled());

    QTest::keyClicks(inPicker<QLineEdit>("newTopicField"), "manual");
    QTest::mouseClick(inPicker<QPushButton>("addNewTopicButton"), Qt::LeftButton);
    EXPECT_EQ(store_.loadConfig().topics, std::vector<std::string>{"manual"});
}

TEST_F(TopicPickerTest, RefreshIsEnabledOnlyWhileTheStoreHoldsOtherTopicsThanTheSnapshot)
{
    seed(configWithTopics({}), {}, {}, {"a"});
    openWindow();
    openPicker();
    auto* refresh = inPicker<QPushButton>("refreshPickerButton");
    EXPECT_FALSE(refresh->isEnabled());

    store_.saveDiscoveredTopics({"a", "b"});
    loop_.advance(Seconds(1));
    EXPECT_TRUE(refresh->isEnabled());
    EXPECT_FALSE(row("b").isValid()) << "the picker keeps its snapshot until asked";

    QTest::mouseClick(refresh, Qt::LeftButton);
    EXPECT_FALSE(refresh->isEnabled());
    EXPECT_TRUE(row("b").isValid());

    store_.saveDiscoveredTopics({"a", "b"});  // the same set again
    loop_.advance(Seconds(1));
    EXPECT_FALSE(refresh->isEnabled());
}

TEST_F(TopicPickerTest, DoneAndEscapeCloseThePicker)
{
    seed(configWithTopics({}));
    openWindow();
    TopicPickerDialog* picker = openPicker();
    QTest::mouseClick(inPicker<QPushButton>("donePickerButton"), Qt::LeftButton);
    EXPECT_FALSE(picker->isVisible());
    EXPECT_FALSE(window_->state().showTopicPicker());

    openPicker();
    QTest::keyClick(picker, Qt::Key_Escape);
    EXPECT_FALSE(picker->isVisible());
    EXPECT_FALSE(window_->state().showTopicPicker());
    EXPECT_EQ(configNotifications(), 0);
}

}  // namespace
}  // namespace telvane::test
