#include "ui/SettingsWindow.h"

#include "ui/BrokerBox.h"
#include "ui/ConnectionStatus.h"
#include "ui/ErrorText.h"
#include "ui/LineLimitedLabel.h"
#include "ui/RecentMessagesBox.h"
#include "ui/TopicsBox.h"
#include "ui/WindowStyle.h"
#include "ui/brokersearch/BrokerSearchDialog.h"
#include "ui/displayitems/DisplayItemsBox.h"
#include "ui/picker/TopicPickerDialog.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace telvane {

namespace {

constexpr int kMinimumWidth = 800;
constexpr int kMinimumHeight = 750;
constexpr int kStackSpacing = 16;
constexpr int kDotSize = 8;

// The client's last error under the title, in red; hidden while there is none.
LineLimitedLabel* errorLabel(QWidget* parent)
{
    auto* label = new LineLimitedLabel(2, parent);
    label->setObjectName(QStringLiteral("lastErrorLabel"));
    label->setFont(style::captionFont(label->font()));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(0xd7, 0x26, 0x1e));
    label->setPalette(palette);
    label->hide();
    return label;
}

}  // namespace

SettingsWindow::SettingsWindow(SharedStore& store, EventLoop& mainLoop, ReloadSignal& reloadSignal,
                               std::function<void()> configSaved, ConnectionStatus& status, BrokerDiscovery& discovery,
                               QWidget* parent)
    : QWidget(parent),
      status_(status),
      discovery_(discovery),
      state_(std::make_unique<SettingsWindowState>(store, mainLoop, reloadSignal, std::move(configSaved)))
{
    build();
}

SettingsWindow::~SettingsWindow()
{
    status_.setObserver({});
    state_->setChangeObserver({});
    // The controls call into the state until they are gone (a focused field
    // reports its last edit while it is torn down), so they go first.
    const auto children = findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    qDeleteAll(children);
}

QString SettingsWindow::titleText()
{
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty()) {
        version = QStringLiteral(TELVANE_VERSION);
    }
    return QStringLiteral("Telvane ") + version;
}

void SettingsWindow::build()
{
    setObjectName(QStringLiteral("settingsWindow"));
    setWindowTitle(QStringLiteral("Telvane"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);

    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(kStackSpacing);

    auto* header = new QHBoxLayout;
    QLabel* title = style::plainLabel(titleText(), this);
    title->setObjectName(QStringLiteral("titleLabel"));
    title->setFont(style::titleFont(title->font()));
    header->addWidget(title);
    header->addStretch(1);
    statusDot_ = new QLabel(this);
    statusDot_->setObjectName(QStringLiteral("statusDot"));
    statusDot_->setFixedSize(kDotSize, kDotSize);
    statusText_ = style::plainLabel(QString(), this);
    statusText_->setObjectName(QStringLiteral("statusText"));
    statusText_->setFont(style::captionFont(statusText_->font()));
    style::makeSecondary(statusText_);
    auto* status = new QHBoxLayout;
    status->setSpacing(6);
    status->addWidget(statusDot_, 0, Qt::AlignVCenter);
    status->addWidget(statusText_, 0, Qt::AlignVCenter);
    header->addLayout(status);
    stack->addLayout(header);

    lastError_ = errorLabel(this);
    stack->addWidget(lastError_);

    brokerBox_ = new BrokerBox(*state_, this);
    messagesBox_ = new RecentMessagesBox(this);
    topicsBox_ = new TopicsBox(*state_, this);
    displayItemsBox_ = new DisplayItemsBox(state_->displayItemsEditor(), this);

    auto* columns = new QHBoxLayout;
    columns->setSpacing(kStackSpacing);
    auto* left = new QVBoxLayout;
    left->setSpacing(kStackSpacing);
    left->addWidget(brokerBox_);
    left->addWidget(messagesBox_, 1);
    auto* right = new QVBoxLayout;
    right->setSpacing(kStackSpacing);
    right->addWidget(topicsBox_);
    right->addWidget(displayItemsBox_);
    right->addStretch(1);
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);
    stack->addLayout(columns, 1);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    auto* save = new QPushButton(QStringLiteral("Speichern && Neu verbinden"), this);
    save->setObjectName(QStringLiteral("saveButton"));
    save->setDefault(true);
    bottom->addWidget(save);
    stack->addLayout(bottom);
    connect(save, &QPushButton::clicked, this, [this] { state_->saveAndReconnect(); });

    messagesBox_->setMessages(state_->messagesSnapshot());
    state_->setChangeObserver([this](StateChanges changes) { stateChanged(changes); });
    status_.setObserver([this] { statusChanged(); });
    statusChanged();
}

void SettingsWindow::stateChanged(StateChanges changes)
{
    if ((changes & change::kConfig) != 0) {
        brokerBox_->refresh();
    }
    if ((changes & (change::kConfig | change::kDisplayItems)) != 0) {
        topicsBox_->refresh();
    }
    if ((changes & change::kMessages) != 0) {
        messagesBox_->setMessages(state_->messagesSnapshot());
    }
    constexpr StateChanges kDisplayItemsBoxShows =
        change::kConfig | change::kMessages | change::kDisplayItems | change::kDisplayItemsEditor;
    if ((changes & kDisplayItemsBoxShows) != 0) {
        displayItemsBox_->refresh();
    }
    // The dialogs are made when first opened: the window's first paint does
    // not wait for them.
    if (picker_ == nullptr && (changes & change::kTopicPickerShown) != 0 && state_->topicPicker().isShown()) {
        picker_ = new TopicPickerDialog(
            state_->topicPicker(), [this](const std::string& topic) { return state_->isTopicConfigured(topic); }, this);
    }
    if (picker_ != nullptr) {
        picker_->stateChanged(changes);
    }
    if (brokerSearch_ == nullptr && (changes & change::kBrokerSearchShown) != 0 && state_->showBrokerSearch()) {
        brokerSearch_ = new BrokerSearchDialog(*state_, discovery_, this);
    }
    if (brokerSearch_ != nullptr) {
        brokerSearch_->stateChanged(changes);
    }
}

void SettingsWindow::statusChanged()
{
    const bool connected = status_.isConnected();
    statusDot_->setProperty("connected", connected);
    statusDot_->setStyleSheet(QStringLiteral("background-color: %1; border-radius: %2px;")
                                  .arg(connected ? QStringLiteral("#34c759") : QStringLiteral("#ff3b30"))
                                  .arg(kDotSize / 2));
    statusText_->setText(connected ? QStringLiteral("Verbunden") : QStringLiteral("Getrennt"));

    const auto error = status_.lastError();
    lastError_->setFullText(error ? QString::fromStdString(errorText(*error)) : QString());
    lastError_->setVisible(error.has_value());
}

void SettingsWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Restoring a minimised window is not a new showing: unsaved edits stay.
    if (!event->spontaneous()) {
        state_->windowShown();
    }
}

void SettingsWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous()) {
        state_->windowHidden();
    }
}

}  // namespace telvane
