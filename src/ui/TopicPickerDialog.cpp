#include "ui/TopicPickerDialog.h"

#include "ui/TopicTreeModel.h"
#include "ui/WindowStyle.h"

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

}  // namespace

TopicPickerDialog::TopicPickerDialog(SettingsWindowState& state, QWidget* parent)
    : QDialog(parent),
      state_(state),
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

    treeView_->setObjectName(QStringLiteral("topicTreeView"));
    treeView_->setModel(model_);
    treeView_->setHeaderHidden(true);
    treeView_->setUniformRowHeights(true);
    treeView_->setIndentation(20);
    treeView_->setMinimumHeight(120);
    treeView_->setMaximumHeight(280);
    treeView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    treeView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    treeView_->setAccessibleName(QStringLiteral("Entdeckte Topics"));
    treeView_->header()->setStretchLastSection(false);
    treeView_->header()->setSectionResizeMode(TopicTreeModel::kNameColumn, QHeaderView::Stretch);
    treeView_->header()->setSectionResizeMode(TopicTreeModel::kActionColumn, QHeaderView::Fixed);
    treeView_->header()->resizeSection(TopicTreeModel::kActionColumn, kActionColumnWidth);
    model_->setIsConfigured([this](const std::string& topic) { return state_.isTopicConfigured(topic); });

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

    connect(refreshButton_, &QPushButton::clicked, this, [this] { state_.refreshTopicPicker(); });
    connect(doneButton_, &QPushButton::clicked, this, &QDialog::accept);
    // Escape rejects; either way the picker is closed, and nothing is undone.
    connect(this, &QDialog::finished, this, [this] { state_.closeTopicPicker(); });
    connect(treeView_, &QTreeView::clicked, this, [this](const QModelIndex& index) {
        if (index.column() == TopicTreeModel::kActionColumn) {
            addFromTree(index);
        }
    });
    // Enter or a double click on a row adds it as well, for keyboard users.
    connect(treeView_, &QTreeView::activated, this, &TopicPickerDialog::addFromTree);
    connect(newTopicField_, &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.setModalNewTopic(text.toStdString()); });
    connect(addButton_, &QPushButton::clicked, this, [this] { state_.addModalTopic(); });

    stateChanged(SettingsWindowState::kTopicTreeChanged | SettingsWindowState::kModalNewTopicChanged);
}

void TopicPickerDialog::addFromTree(const QModelIndex& index)
{
    if (index.data(TopicTreeModel::kCanAddRole).toBool()) {
        state_.addTopic(index.data(TopicTreeModel::kFullPathRole).toString().toStdString());
    }
}

void TopicPickerDialog::stateChanged(SettingsWindowState::Changes changes)
{
    if ((changes & SettingsWindowState::kTopicTreeChanged) != 0) {
        model_->setTree(state_.topicTree());
        treeArea_->setCurrentWidget(state_.topicTree()->children.empty() ? static_cast<QWidget*>(emptyLabel_)
                                                                         : treeView_);
    }
    if ((changes & SettingsWindowState::kConfigChanged) != 0) {
        model_->configuredTopicsChanged();
    }
    if ((changes & SettingsWindowState::kModalNewTopicChanged) != 0) {
        const QString text = QString::fromStdString(state_.modalNewTopic());
        if (newTopicField_->text() != text) {
            newTopicField_->setText(text);
        }
    }
    if ((changes & SettingsWindowState::kTopicPickerShownChanged) != 0) {
        if (state_.showTopicPicker() && !isVisible()) {
            newTopicField_->setFocus();
            open();
        } else if (!state_.showTopicPicker() && isVisible()) {
            done(QDialog::Accepted);
        }
    }
    updateButtons();
}

void TopicPickerDialog::updateButtons()
{
    refreshButton_->setEnabled(state_.canRefreshTopicPicker());
    addButton_->setEnabled(state_.canAddModalTopic());
}

}  // namespace telvane
