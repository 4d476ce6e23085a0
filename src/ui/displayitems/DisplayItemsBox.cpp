#include "ui/displayitems/DisplayItemsBox.h"

#include "ui/WindowStyle.h"
#include "ui/displayitems/DisplayItemRows.h"
#include "ui/displayitems/LazyRowList.h"
#include "ui/displayitems/TopicChooser.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace telvane {

namespace {

constexpr int kChooserMaxWidth = 200;
constexpr int kValueListMaxHeight = 180;
constexpr int kItemListMaxHeight = 120;
constexpr int kRowSpacing = 6;

QLabel* captionLabel(const QString& text, const char* objectName, QWidget* parent)
{
    QLabel* label = style::plainLabel(text, parent);
    label->setObjectName(QLatin1String(objectName));
    label->setFont(style::captionFont(label->font()));
    label->setWordWrap(true);
    style::makeSecondary(label);
    return label;
}

}  // namespace

DisplayItemsBox::DisplayItemsBox(DisplayItemsEditor& editor, QWidget* parent)
    : QGroupBox(QStringLiteral("Anzeige-Elemente"), parent),
      editor_(editor),
      chooser_(new TopicChooser(this)),
      noDataLabel_(
          captionLabel(QStringLiteral("Für dieses Topic liegen noch keine JSON-Daten vor."), "itemNoDataLabel", this)),
      valuesLabel_(captionLabel(QStringLiteral("Verfügbare Werte:"), "availableValuesLabel", this)),
      valueList_(new LazyRowList(kValueListMaxHeight, kRowSpacing,
                                 {[this](QWidget* content) { return makeValueRow(content); },
                                  [this](std::size_t i) { return (*shownPaths_)[i]; },
                                  [this](QWidget* row, std::size_t i) { bindValueRow(row, i); }},
                                 this)),
      divider_(new QFrame(this)),
      noItemsLabel_(
          captionLabel(QStringLiteral("Noch keine Elemente konfiguriert. Das Widget zeigt die rohen Nachrichten an."),
                       "itemsEmptyLabel", this)),
      itemList_(new LazyRowList(kItemListMaxHeight, kRowSpacing,
                                {[this](QWidget* content) { return makeItemRow(content); },
                                 [this](std::size_t i) {
                                     const auto& items = editor_.displayItems();
                                     return i < items.size() ? items[i].id : std::string();
                                 },
                                 [this](QWidget* row, std::size_t i) { bindItemRow(row, i); }},
                                this))
{
    setObjectName(QStringLiteral("displayItemsBox"));
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);

    chooser_->setObjectName(QStringLiteral("itemTopicChooser"));
    chooser_->setAccessibleName(QStringLiteral("Topic"));
    chooser_->setMaximumWidth(kChooserMaxWidth);
    chooser_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    layout->addWidget(chooser_, 0, Qt::AlignLeft);
    // Programmatic changes are made with the signals blocked: what arrives
    // here is the user's choice, by mouse, keyboard or screen reader.
    connect(chooser_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0) {
            editor_.setNewItemTopic(chooser_->itemData(index).toString().toStdString());
        }
    });

    layout->addWidget(noDataLabel_);
    layout->addWidget(valuesLabel_);
    valueList_->setObjectName(QStringLiteral("valueRowList"));
    valueList_->setAccessibleName(QStringLiteral("Verfügbare Werte"));
    layout->addWidget(valueList_);

    divider_->setObjectName(QStringLiteral("itemsDivider"));
    divider_->setFrameShape(QFrame::HLine);
    divider_->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider_);

    layout->addWidget(noItemsLabel_);
    itemList_->setObjectName(QStringLiteral("itemRowList"));
    itemList_->setAccessibleName(QStringLiteral("Anzeige-Elemente"));
    layout->addWidget(itemList_);

    refresh();
}

QWidget* DisplayItemsBox::makeValueRow(QWidget* parent)
{
    auto* row = new ValueRow(parent);
    connect(row->labelField(), &QLineEdit::textEdited, this,
            [this, row](const QString& text) { editor_.setPendingLabel(row->path(), text.toStdString()); });
    connect(row->addButton(), &QToolButton::clicked, this, [this, row] { editor_.addItem(row->path()); });
    return row;
}

void DisplayItemsBox::bindValueRow(QWidget* row, std::size_t index)
{
    const std::string& path = (*shownPaths_)[index];
    static_cast<ValueRow*>(row)->bind(path, editor_.pendingLabel(path), editor_.valueText(path),
                                      !editor_.hasItem(path));
}

QWidget* DisplayItemsBox::makeItemRow(QWidget* parent)
{
    auto* row = new ItemRow(parent);
    connect(row->labelField(), &QLineEdit::textEdited, this,
            [this, row](const QString& text) { editor_.setItemLabel(row->itemId(), text.toStdString()); });
    connect(row->labelField(), &QLineEdit::returnPressed, this,
            [this, row] { editor_.submitItemLabel(row->itemId()); });
    connect(row->removeButton(), &QToolButton::clicked, this, [this, row] { editor_.removeItem(row->itemId()); });
    return row;
}

void DisplayItemsBox::bindItemRow(QWidget* row, std::size_t index)
{
    const MQTTDisplayItem& item = editor_.displayItems()[index];
    auto* itemRow = static_cast<ItemRow*>(row);
    itemRow->bind(item.id, DisplayItemsEditor::itemCaption(item), item.label);
    const auto& history = editor_.itemHistory(item, Date::now().unixSeconds());
    itemRow->bindHistory(history.points, history.range, lastDaySpan(history.readAtUnix));
}

void DisplayItemsBox::refreshChooser()
{
    std::vector<std::string> topics = editor_.topicsWithJSON();
    const QSignalBlocker blocker(chooser_);
    if (topics != shownTopics_ || chooser_->count() == 0) {
        shownTopics_ = std::move(topics);
        chooser_->clear();
        chooser_->addItem(QStringLiteral("Topic wählen"), QString());
        for (const auto& topic : shownTopics_) {
            const QString text = QString::fromStdString(topic);
            chooser_->addItem(text, text);
        }
    }
    // A chosen topic that lost its JSON data is no longer offered; it stays
    // chosen, and the chooser shows no entry.
    const std::string& chosen = editor_.newItemTopic();
    const auto at = std::find(shownTopics_.begin(), shownTopics_.end(), chosen);
    const int index = chosen.empty()             ? 0
                      : at == shownTopics_.end() ? -1
                                                 : 1 + static_cast<int>(at - shownTopics_.begin());
    if (chooser_->currentIndex() != index) {
        chooser_->setCurrentIndex(index);
    }
}

void DisplayItemsBox::refresh()
{
    refreshChooser();

    const bool chosen = !editor_.newItemTopic().empty();
    const auto paths = editor_.availablePaths();
    noDataLabel_->setVisible(chosen && paths->empty());
    valuesLabel_->setVisible(chosen && !paths->empty());
    valueList_->setVisible(chosen && !paths->empty());
    shownPaths_ = paths;
    valueList_->setRowCount(paths->size());

    const std::size_t items = editor_.displayItems().size();
    noItemsLabel_->setVisible(items == 0);
    itemList_->setVisible(items != 0);
    itemList_->setRowCount(items);
}

}  // namespace telvane
