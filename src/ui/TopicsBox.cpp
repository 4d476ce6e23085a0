#include "ui/TopicsBox.h"

#include "ui/LineLimitedLabel.h"
#include "ui/SettingsWindowState.h"
#include "ui/TextTrimming.h"
#include "ui/WindowStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace telvane {

TopicsBox::TopicsBox(SettingsWindowState& state, QWidget* parent)
    : QGroupBox(QStringLiteral("Topics"), parent),
      state_(state),
      rowsLayout_(new QVBoxLayout),
      addButton_(new QPushButton(QStringLiteral("Topic hinzufügen …"), this))
{
    setObjectName(QStringLiteral("topicsBox"));
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    rowsLayout_->setSpacing(8);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(rowsLayout_);

    addButton_->setObjectName(QStringLiteral("addTopicButton"));
    addButton_->setFlat(true);
    addButton_->setAutoDefault(false);
    addButton_->setFont(style::captionFont(addButton_->font()));
    layout->addWidget(addButton_, 0, Qt::AlignLeft);
    connect(addButton_, &QPushButton::clicked, this, [this] { state_.topicPicker().open(); });

    refresh();
}

QWidget* TopicsBox::makeRow(const std::string& topic, bool hasDisplayItems)
{
    const QString topicText = QString::fromStdString(topic);
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("topicRow"));
    row->setProperty("topic", topicText);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->setAlignment(Qt::AlignTop);

    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    auto* title = new LineLimitedLabel(1, row);
    title->setObjectName(QStringLiteral("topicTitleLabel"));
    title->setFont(style::captionFont(title->font()));
    style::makeSecondary(title);
    title->setFullText(topicText);
    column->addWidget(title);

    if (hasDisplayItems) {
        QLabel* hint = style::plainLabel(QStringLiteral("Anzeigename über die Anzeige-Elemente"), row);
        hint->setObjectName(QStringLiteral("topicLabelHint"));
        hint->setFont(style::smallCaptionFont(hint->font()));
        style::makeSecondary(hint, true);
        column->addWidget(hint);
    } else {
        auto* field = new QLineEdit(QString::fromStdString(state_.topicLabelText(topic)), row);
        field->setObjectName(QStringLiteral("topicLabelField"));
        field->setProperty("topic", topicText);
        field->setPlaceholderText(QStringLiteral("Anzeigename (optional)"));
        // The placeholder alone says nothing about which topic the field names.
        field->setAccessibleName(QStringLiteral("Anzeigename für ") + topicText);
        connect(field, &QLineEdit::textEdited, this,
                [this, topic](const QString& text) { state_.setTopicLabelText(topic, text.toStdString()); });
        connect(field, &QLineEdit::returnPressed, this, [this] { state_.submitTopicLabel(); });
        column->addWidget(field);
    }
    rowLayout->addLayout(column, 1);

    auto* remove = new QToolButton(row);
    remove->setObjectName(QStringLiteral("removeTopicButton"));
    remove->setProperty("topic", topicText);
    remove->setIcon(style::removeIcon());
    remove->setAutoRaise(true);
    remove->setAccessibleName(QStringLiteral("Topic entfernen: ") + topicText);
    remove->setToolTip(remove->accessibleName());
    connect(remove, &QToolButton::clicked, this, [this, topic] { state_.removeTopic(topic); });
    rowLayout->addWidget(remove, 0, Qt::AlignTop);
    return row;
}

void TopicsBox::refresh()
{
    std::vector<std::pair<std::string, bool>> rows;
    rows.reserve(state_.config().topics.size());
    for (const auto& topic : state_.config().topics) {
        rows.emplace_back(topic, state_.topicHasDisplayItems(topic));
    }

    if (rows != shownRows_) {
        shownRows_ = std::move(rows);
        while (QLayoutItem* item = rowsLayout_->takeAt(0)) {
            if (QWidget* old = item->widget()) {
                // The click that removed a topic may still be running in this row.
                old->hide();
                old->deleteLater();
            }
            delete item;
        }
        for (const auto& [topic, hasDisplayItems] : shownRows_) {
            rowsLayout_->addWidget(makeRow(topic, hasDisplayItems));
        }
        return;
    }

    for (auto* field : findChildren<QLineEdit*>(QStringLiteral("topicLabelField"))) {
        if (!field->isVisibleTo(this)) {  // a row on its way out
            continue;
        }
        const std::string topic = field->property("topic").toString().toStdString();
        const std::string label = state_.topicLabelText(topic);
        // A trailing blank being typed stays in the field; the stored name never has it.
        if (trimBlanks(field->text().toStdString()) != label) {
            field->setText(QString::fromStdString(label));
        }
    }
}

}  // namespace telvane
