// The box "Anzeige-Elemente" in the real window: what it shows (the items'
// sparklines too), what screen readers hear, and that refresh ticks never
// get in the way of typing.

#include "UiFixture.h"

#include "model/HistoryTables.h"
#include "ui/LineLimitedLabel.h"
#include "ui/displayitems/DisplayItemRows.h"
#include "ui/displayitems/DisplayItemsBox.h"
#include "ui/displayitems/LazyRowList.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace telvane::test {
namespace {

class DisplayItemsBoxTest : public UiFixture {
protected:
    SettingsWindowState& state() { return window_->state(); }
    DisplayItemsBox* box() { return window_->findChild<DisplayItemsBox*>(); }
    QComboBox* chooser() { return find<QComboBox>("itemTopicChooser"); }
    ValueRow* valueRow(std::size_t index) { return qobject_cast<ValueRow*>(box()->valueList()->rowAt(index)); }
    ItemRow* itemRow(std::size_t index) { return qobject_cast<ItemRow*>(box()->itemList()->rowAt(index)); }

    void openActiveWindow()
    {
        openWindow();
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }

    void tick()
    {
        loop_.advance(Seconds(1));
        QCoreApplication::processEvents();
    }
};

QString accessibleName(QWidget* widget)
{
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

QStringList chooserEntries(QComboBox* chooser)
{
    QStringList entries;
    for (int i = 0; i < chooser->count(); ++i) {
        entries << chooser->itemText(i);
    }
    return entries;
}

TEST_F(DisplayItemsBoxTest, NestedExampleShowsValueRowsAndItemRowsNamedForScreenReaders)
{
    seed(configWithTopics({"T", "text"}), {message("T", R"({"sensor": {"temp": 21.5, "hum": 40}})", 1'700'000'001),
                                           message("text", "on", 1'700'000'000)});
    openWindow();
    EXPECT_EQ(accessibleName(chooser()), "Topic");
    EXPECT_EQ(chooserEntries(chooser()), (QStringList{"Topic wählen", "T"}));
    EXPECT_FALSE(find<QLabel>("availableValuesLabel")->isVisible());
    EXPECT_TRUE(find<QLabel>("itemsEmptyLabel")->isVisible());
    EXPECT_EQ(find<QLabel>("itemsEmptyLabel")->text(),
              "Noch keine Elemente konfiguriert. Das Widget zeigt die rohen Nachrichten an.");

    // Chosen as a screen reader does: the entry's action in the closed list.
    QAccessibleInterface* entry = QAccessible::queryAccessibleInterface(chooser())->child(0)->child(1);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->text(QAccessible::Name), "T");
    entry->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(state().displayItemsEditor().newItemTopic(), "T");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(chooser())->text(QAccessible::Value), "T");
    EXPECT_EQ(find<QLabel>("availableValuesLabel")->text(), "Verfügbare Werte:");
    ASSERT_EQ(box()->valueList()->rowCount(), 2u);
    const std::vector<std::array<QString, 3>> expected{{"sensor.hum", "hum", "40"}, {"sensor.temp", "temp", "21.5"}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& [path, label, value] = expected[i];
        ValueRow* row = valueRow(i);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->labelField()->text(), label);
        EXPECT_EQ(row->labelField()->placeholderText(), "Label");
        EXPECT_EQ(accessibleName(row->labelField()), "Label für " + path);
        EXPECT_EQ(accessibleName(row->addButton()), "Anzeige-Element hinzufügen: " + path);
        EXPECT_TRUE(row->addButton()->isEnabled());
        EXPECT_EQ(row->valueLabel()->text(), value);
        auto* valueAccessible = QAccessible::queryAccessibleInterface(row->valueLabel());
        EXPECT_EQ(valueAccessible->role(), QAccessible::StaticText);
        EXPECT_EQ(valueAccessible->text(QAccessible::Name), value);
    }

    QTest::mouseClick(valueRow(1)->addButton(), Qt::LeftButton);
    EXPECT_FALSE(valueRow(1)->addButton()->isEnabled());
    EXPECT_TRUE(valueRow(0)->addButton()->isEnabled());
    EXPECT_FALSE(find<QLabel>("itemsEmptyLabel")->isVisible());
    ASSERT_EQ(box()->itemList()->rowCount(), 1u);
    ItemRow* item = itemRow(0);
    EXPECT_EQ(item->labelField()->text(), "temp");
    EXPECT_EQ(item->labelField()->placeholderText(), "Anzeigename");
    EXPECT_EQ(accessibleName(item->labelField()), "Anzeigename: T → sensor.temp");
    EXPECT_EQ(accessibleName(item->removeButton()), "Anzeige-Element entfernen: T → sensor.temp");
    EXPECT_EQ(item->findChild<LineLimitedLabel*>("itemCaption")->fullText(), "T → sensor.temp");
    EXPECT_EQ(findForTopic<QLineEdit>("topicLabelField", "T"), nullptr) << "the topic row points to the items now";

    QTest::mouseClick(item->removeButton(), Qt::LeftButton);
    EXPECT_TRUE(store_.loadDisplayItems().empty());
    EXPECT_TRUE(find<QLabel>("itemsEmptyLabel")->isVisible());
    EXPECT_TRUE(valueRow(1)->addButton()->isEnabled());

    state().displayItemsEditor().setNewItemTopic("text");
    EXPECT_TRUE(find<QLabel>("itemNoDataLabel")->isVisible());
    EXPECT_EQ(find<QLabel>("itemNoDataLabel")->text(), "Für dieses Topic liegen noch keine JSON-Daten vor.");
    EXPECT_FALSE(box()->valueList()->isVisible());
    EXPECT_EQ(chooser()->currentIndex(), -1) << "a topic without JSON is not offered";
}

TEST_F(DisplayItemsBoxTest, RefreshTicksAndStoresOfItsOwnEditsLeaveAFieldBeingTypedInAlone)
{
    const auto item = MQTTDisplayItem::make("T", "temp", "sensor.temp");
    seed(configWithTopics({"T"}), {message("T", R"({"sensor": {"temp": 21.5, "hum": 40}})", 1'700'000'000)}, {item});
    openActiveWindow();
    chooser()->setCurrentIndex(1);
    ASSERT_NE(itemRow(0), nullptr);
    ASSERT_NE(valueRow(1), nullptr);

    struct Field {
        const char* name;
        QLineEdit* field;
        std::function<std::string()> model;
    };
    const std::vector<Field> fields{
        {"item label", itemRow(0)->labelField(), [&] { return store_.loadDisplayItems().at(0).label; }},
        {"value label", valueRow(1)->labelField(),
         [&] { return state().displayItemsEditor().pendingLabel("sensor.temp"); }},
    };
    int reading = 0;
    for (const auto& [name, field, model] : fields) {
        SCOPED_TRACE(name);
        field->setFocus();
        field->setCursorPosition(2);
        QTest::keyClicks(field, "xy");  // each keystroke is stored at once
        EXPECT_EQ(model(), "texymp");
        for (int i = 0; i < 3; ++i) {
            ++reading;
            store_.appendMessages({message("T", R"({"sensor": {"hum": 40, "temp": )" + std::to_string(reading) + "}}",
                                           1'700'000'001 + reading)},
                                  50);
            tick();
        }
        EXPECT_EQ(valueRow(1)->valueLabel()->text(), QString::number(reading)) << "values follow the ticks";
        EXPECT_TRUE(field->hasFocus());
        EXPECT_EQ(field->text(), "texymp");
        EXPECT_EQ(field->cursorPosition(), 4);
        QTest::keyClick(field, Qt::Key_Backspace);
        EXPECT_EQ(field->text(), "texmp");
        EXPECT_EQ(model(), "texmp");
    }
    EXPECT_EQ(reloadSignal_.count, 0) << "typing reloads no widget";

    // Return in a cleared item field restores the path's last component.
    QLineEdit* itemField = itemRow(0)->labelField();
    itemField->selectAll();
    QTest::keyClick(itemField, Qt::Key_Delete);
    QTest::keyClick(itemField, Qt::Key_Return);
    EXPECT_EQ(itemField->text(), "temp");
    EXPECT_EQ(store_.loadDisplayItems().at(0).label, "temp");
    EXPECT_EQ(reloadSignal_.count, 1);
}

TEST_F(DisplayItemsBoxTest, ALargePayloadMakesRowsOnlyInSightAndTabWalksThemInOrder)
{
    std::string payload = "{";
    for (int i = 0; i < 5000; ++i) {
        payload += (i == 0 ? "\"k" : ",\"k") + std::to_string(10000 + i) + "\":" + std::to_string(i);
    }
    payload += "}";
    seed(configWithTopics({"big"}), {message("big", payload, 1'700'000'000)});
    openActiveWindow();
    chooser()->setFocus();
    QTest::keyClick(chooser(), Qt::Key_Down);  // chooses "big"
    ASSERT_EQ(state().displayItemsEditor().newItemTopic(), "big");
    ASSERT_EQ(box()->valueList()->rowCount(), 5000u);
    EXPECT_LT(window_->findChildren<ValueRow*>().size(), 20);

    QTest::keyClick(chooser(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), valueRow(0)->labelField());
    for (int i = 0; i < 2 * 30; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    ValueRow* row = valueRow(30);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(QApplication::focusWidget(), row->labelField());
    EXPECT_EQ(row->path(), "k10030");
    EXPECT_EQ(row->valueLabel()->text(), "30");
    const QRect inViewport(row->mapTo(box()->valueList()->viewport(), QPoint(0, 0)), row->size());
    EXPECT_TRUE(box()->valueList()->viewport()->rect().contains(inViewport)) << "scrolled into sight";
    EXPECT_LT(window_->findChildren<ValueRow*>().size(), 20);
    QStringList readingOrder;  // what a screen reader walks through
    for (QObject* child : box()->valueList()->widget()->children()) {
        if (auto* shown = qobject_cast<ValueRow*>(child); shown != nullptr && shown->isVisibleTo(window_.get())) {
            readingOrder << QString::fromStdString(shown->path());
        }
    }
    EXPECT_GE(readingOrder.size(), 3);
    EXPECT_TRUE(std::is_sorted(readingOrder.begin(), readingOrder.end())) << readingOrder.join(' ').toStdString();

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), valueRow(29)->addButton());

    // A keystroke's store and the ticks rebind the rows in sight; the focused one stays put.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);  // Tab selected the whole label
    QTest::keyClicks(QApplication::focusWidget(), "!");
    tick();
    EXPECT_EQ(QApplication::focusWidget(), valueRow(30)->labelField());
    EXPECT_EQ(valueRow(30)->labelField()->text(), "k10030!");
}

TEST_F(DisplayItemsBoxTest, ItemRowsDrawTheirLastDayAndFollowNewPoints)
{
    const double now = Date::now().unixSeconds();
    const auto temperature = [now](double secondsAgo, double value) {
        const double time = now - secondsAgo;
        return HistoryRow{{{"T", "sensor.temp"}, kCoarseTier.id, historyBucket(kCoarseTier, time)},
                          {time, value, value, value}};
    };
    seed(configWithTopics({"T"}), {},
         {MQTTDisplayItem::make("T", "temp", "sensor.temp"), MQTTDisplayItem::make("T", "hum", "sensor.hum")});
    store_.appendMessages({message("T", R"({"sensor": {"temp": 21.5, "hum": 40}})", now)}, 50,
                          {temperature(7200, 17.2), temperature(3600, 23), temperature(0, 21.5)});
    openWindow();
    ItemRow* withPoints = itemRow(0);
    ItemRow* without = itemRow(1);
    ASSERT_NE(withPoints, nullptr);
    ASSERT_NE(without, nullptr);
    EXPECT_EQ(withPoints->rangeLabel()->fullText(), "min 17.2 \u00B7 max 23");
    EXPECT_EQ(accessibleName(withPoints->sparkline()), "Verlauf 24 h: min 17.2, max 23");
    EXPECT_EQ(without->rangeLabel()->fullText(), "");
    EXPECT_EQ(accessibleName(without->sparkline()), "Verlauf 24 h: keine Werte");
    EXPECT_EQ(withPoints->height(), without->height());
    const auto inkedPixels = [](QWidget* widget) {
        const QImage image = widget->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                count += image.pixel(x, y) != image.pixel(0, 0) ? 1 : 0;
            }
        }
        return count;
    };
    EXPECT_GT(inkedPixels(withPoints->sparkline()), 20);
    EXPECT_EQ(inkedPixels(without->sparkline()), 0);

    // A tick that brings a message of the topic reads its points again.
    store_.appendMessages({message("T", R"({"sensor": {"temp": 30, "hum": 40}})", now + 1)}, 50, {temperature(-1, 30)});
    tick();
    EXPECT_EQ(withPoints->rangeLabel()->fullText(), "min 17.2 \u00B7 max 30");
}

}  // namespace
}  // namespace telvane::test
