#include "ui/picker/TopicPickerDialog.h"

#include "ui/WindowStyle.h"
#include "ui/picker/TopicPickerState.h"
#include "ui/picker/TopicTreeModel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeView>
#include <QVBoxLayout>

namespace telvane {

namespace {

constexpr int kWidth = 400;
constexpr int kActionColumnWidth = 28;

QPushButton* plainButton(const QString& text, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    // Return in the manual field must not press a button.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

void setUpTreeView(QTreeView* view, TopicTreeModel* model)
{
    view->setObjectName(QStringLiteral("topicTreeView"));
    view->setModel(model);
    view->setHeaderHidden(true);
    view->setUniformRowHeights(true);
    view->setIndentation(20);
    view->setMinimumHeight(120);
    view->setMaximumHeight(280);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view->setAccessibleName(QStringLiteral("Entdeckte Topics"));
    view->header()->setStretchLastSection(false);
    view->header()->setSectionResizeMode(TopicTreeModel::kNameColumn, QHeaderView::Stretch);
    view->header()->setSectionResizeMode(TopicTreeModel::kActionColumn, QHeaderView::Fixed);
    view->header()->resizeSection(TopicTreeModel::kActionColumn, kActionColumnWidth);
}

}  // namespace

TopicPickerDialog::TopicPickerDialog(TopicPickerState& picker, std::function<bool(const std::string&)> isConfigured,
                                     QWidget* parent)
    : QDialog(parent),
      picker_(picker),
      model_(new TopicTreeModel(this)),
      refreshButton_(plainButton(QStringLiteral("Aktualisieren"), "refreshPickerButton", this)),
      doneButton_(plainButton(QStringLiteral("Fertig"), "donePickerButton", this)),
      treeArea_(new QStackedWidget(this)),
      emptyLabel_(style::plainLabel(QStringLiteral("Noch keine Topics vom Broker entdeckt. Stelle sicher, dass die "
                                                   "App verbunden ist und der Broker Wildcards erlaubt."),
                                    this)),
      treeView_(new QTreeView(this)),
      newTopicField_(new QLineEdit(this)),
      addButton_(plainButton(QStringLiteral("Hinzufügen"), "addNewTopicButton", this))
{
    setObjectName(QStringLiteral("topicPickerDialog"));
    setWindowTitle(QStringLiteral("Topic auswählen"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(kWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);

    auto* header = new QHBoxLayout;
    QLabel* title = style::plainLabel(QStringLiteral("Topic auswählen"), this);
    title->setObjectName(QStringLiteral("pickerTitleLabel"));
    QFont titleFont = title->font();
    titleFont.setBold(true);
    title->setFont(titleFont);
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(refreshButton_);
    header->addWidget(doneButton_);
    layout->addLayout(header);

    emptyLabel_->setObjectName(QStringLiteral("pickerEmptyLabel"));
    emptyLabel_->setWordWrap(true);
    emptyLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    emptyLabel_->setFont(style::captionFont(emptyLabel_->font()));
    style::makeSecondary(emptyLabel_);

    setUpTreeView(treeView_, model_);
    model_->setIsConfigured(std::move(isConfigured));

    treeArea_->addWidget(emptyLabel_);
    treeArea_->addWidget(treeView_);
    treeArea_->setMinimumHeight(120);
    treeArea_->setMaximumHeight(280);
    layout->addWidget(treeArea_);

    auto* manual = new QHBoxLayout;
    newTopicField_->setObjectName(QStringLiteral("newTopicField"));
    newTopicField_->setPlaceholderText(QStringLiteral("Neues Topic"));
    newTopicField_->setAccessibleName(QStringLiteral("Neues Topic"));
    manual->addWidget(newTopicField_, 1);
    manual->addWidget(addButton_);
    layout->addLayout(manual);

    connect(refreshButton_, &QPushButton::clicked, this, [this] { picker_.refresh(); });
    connect(doneButton_, &QPushButton::clicked, this, &QDialog::accept);
    // Escape rejects; either way the picker is closed, and nothing is undone.
    connect(this, &QDialog::finished, this, [this] { picker_.close(); });
    connect(treeView_, &QTreeView::clicked, this, [this](const QModelIndex& index) {
        if (index.column() == TopicTreeModel::kActionColumn) {
            addFromTree(index);
        }
    });
    // Enter or a double click on a row adds it as well, for keyboard users.
    connect(treeView_, &QTreeView::activated, this, &TopicPickerDialog::addFromTree);
    connect(newTopicField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { picker_.setNewTopicText(text.toStdString()); });
    connect(addButton_, &QPushButton::clicked, this, [this] { picker_.addNewTopic(); });

    stateChanged(change::kTopicTree | change::kNewTopicText);
}

void TopicPickerDialog::addFromTree(const QModelIndex& index)
{
    if (index.data(TopicTreeModel::kCanAddRole).toBool()) {
        picker_.addTopic(index.data(TopicTreeModel::kFullPathRole).toString().toStdString());
    }
}

void TopicPickerDialog::stateChanged(StateChanges changes)
{
    if ((changes & change::kTopicTree) != 0) {
        model_->setTree(picker_.tree());
        treeArea_->setCurrentWidget(picker_.tree()->children.empty() ? static_cast<QWidget*>(emptyLabel_) : treeView_);
    }
    if ((changes & change::kConfig) != 0) {
        model_->configuredTopicsChanged();
    }
    if ((changes & change::kNewTopicText) != 0) {
        const QString text = QString::fromStdString(picker_.newTopicText());
        if (newTopicField_->text() != text) {
            newTopicField_->setText(text);
        }
    }
    if ((changes & change::kTopicPickerShown) != 0) {
        if (picker_.isShown() && !isVisible()) {
            newTopicField_->setFocus();
            open();
        } else if (!picker_.isShown() && isVisible()) {
            done(QDialog::Accepted);
        }
    }
    updateButtons();
}

void TopicPickerDialog::updateButtons()
{
    refreshButton_->setEnabled(picker_.canRefresh());
    addButton_->setEnabled(picker_.canAddNewTopic());
}

}  // namespace telvane
