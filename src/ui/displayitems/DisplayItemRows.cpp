#include "ui/displayitems/DisplayItemRows.h"

#include "ui/LineLimitedLabel.h"
#include "ui/WindowStyle.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace telvane {

namespace {

constexpr int kValueLabelFieldWidth = 120;
// Every row's sparkline column is as wide, so the label fields line up.
constexpr QSize kSparklineSize(120, 20);

QToolButton* iconButton(const QIcon& icon, const char* objectName, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(QLatin1String(objectName));
    button->setIcon(icon);
    button->setAutoRaise(true);
    return button;
}

void nameButton(QToolButton* button, const QString& name)
{
    button->setAccessibleName(name);
    button->setToolTip(name);
}

}  // namespace

void setTextKeepingCursor(QLineEdit* field, const QString& text)
{
    if (field->text() == text) {
        return;
    }
    const int cursor = field->cursorPosition();
    field->setText(text);
    field->setCursorPosition(std::min(cursor, static_cast<int>(text.size())));
}

ValueRow::ValueRow(QWidget* parent)
    : QWidget(parent),
      labelField_(new QLineEdit(this)),
      valueLabel_(new LineLimitedLabel(1, this)),
      addButton_(iconButton(style::addIcon(), "addItemButton", this))
{
    setObjectName(QStringLiteral("valueRow"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    labelField_->setObjectName(QStringLiteral("valueLabelField"));
    labelField_->setPlaceholderText(QStringLiteral("Label"));
    labelField_->setFixedWidth(kValueLabelFieldWidth);
    valueLabel_->setObjectName(QStringLiteral("valueText"));
    valueLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    style::makeSecondary(valueLabel_);

    layout->addWidget(labelField_);
    layout->addWidget(valueLabel_, 1);
    layout->addWidget(addButton_);
}

void ValueRow::bind(const std::string& path, const std::string& label, const std::string& value, bool canAdd)
{
    if (!path_ || path != *path_) {
        path_ = path;
        const QString text = QString::fromStdString(path);
        setProperty("path", text);
        labelField_->setAccessibleName(QStringLiteral("Label für ") + text);
        nameButton(addButton_, QStringLiteral("Anzeige-Element hinzufügen: ") + text);
    }
    setTextKeepingCursor(labelField_, QString::fromStdString(label));
    if (!value_ || value != *value_) {
        value_ = value;
        const QString text = QString::fromStdString(value);
        valueLabel_->setFullText(text);
        // The whole value, not the part that fits the row.
        valueLabel_->setAccessibleName(text);
    }
    addButton_->setEnabled(canAdd);
}

ItemRow::ItemRow(QWidget* parent)
    : QWidget(parent),
      labelField_(new QLineEdit(this)),
      captionLabel_(new LineLimitedLabel(1, this)),
      sparkline_(new Sparkline(this)),
      rangeLabel_(new LineLimitedLabel(1, this)),
      removeButton_(iconButton(style::removeIcon(), "removeItemButton", this))
{
    setObjectName(QStringLiteral("itemRow"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    labelField_->setObjectName(QStringLiteral("itemLabelField"));
    labelField_->setPlaceholderText(QStringLiteral("Anzeigename"));
    captionLabel_->setObjectName(QStringLiteral("itemCaption"));
    captionLabel_->setFont(style::captionFont(captionLabel_->font()));
    style::makeSecondary(captionLabel_);
    column->addWidget(labelField_);
    column->addWidget(captionLabel_);

    auto* history = new QVBoxLayout;
    history->setSpacing(2);
    sparkline_->setFixedSize(kSparklineSize);
    rangeLabel_->setObjectName(QStringLiteral("itemRange"));
    rangeLabel_->setFont(style::captionFont(rangeLabel_->font()));
    rangeLabel_->setAlignment(Qt::AlignHCenter);
    rangeLabel_->setFixedWidth(kSparklineSize.width());
    style::makeSecondary(rangeLabel_);
    history->addWidget(sparkline_);
    history->addWidget(rangeLabel_);

    layout->addLayout(column, 1);
    layout->addLayout(history);
    layout->addWidget(removeButton_, 0, Qt::AlignTop);
}

void ItemRow::bind(const std::string& id, const std::string& caption, const std::string& label)
{
    if (!id_ || id != *id_ || caption != caption_) {
        id_ = id;
        caption_ = caption;
        const QString text = QString::fromStdString(caption);
        setProperty("itemId", QString::fromStdString(id));
        captionLabel_->setFullText(text);
        labelField_->setAccessibleName(QStringLiteral("Anzeigename: ") + text);
        nameButton(removeButton_, QStringLiteral("Anzeige-Element entfernen: ") + text);
    }
    setTextKeepingCursor(labelField_, QString::fromStdString(label));
}

void ItemRow::bindHistory(const Sparkline::Points& points, const std::optional<HistoryRange>& range,
                          const SparklineSpan& span)
{
    if (points == sparkline_->points()) {
        return;
    }
    sparkline_->setPoints(points, span);
    sparkline_->setAccessibleName(dayHistoryAccessibleText(range));
    rangeLabel_->setFullText(range ? historyRangeText(*range) : QString());
}

}  // namespace telvane
