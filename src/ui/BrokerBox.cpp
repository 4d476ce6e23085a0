#include "ui/BrokerBox.h"

#include "ui/SettingsWindowState.h"
#include "ui/WindowStyle.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

namespace telvane {

namespace {

constexpr int kLabelWidth = 90;

void setTextIfDifferent(QLineEdit* field, const std::string& value)
{
    const QString text = QString::fromStdString(value);
    if (field->text() != text) {
        field->setText(text);
    }
}

QToolButton* searchButton(QWidget* parent)
{
    auto* search = new QToolButton(parent);
    search->setObjectName(QStringLiteral("searchBrokerButton"));
    search->setIcon(style::searchIcon());
    search->setAutoRaise(true);  // borderless
    search->setToolTip(QStringLiteral("Broker im Netzwerk suchen (Bonjour/mDNS)"));
    search->setAccessibleName(QStringLiteral("Broker im Netzwerk suchen"));
    return search;
}

// One checkable button per protocol version side by side, in `group`
// (exclusive), each with the version's raw value as its id.
QWidget* protocolSegments(QButtonGroup* group, QWidget* parent)
{
    auto* segments = new QWidget(parent);
    auto* segmentsLayout = new QHBoxLayout(segments);
    segmentsLayout->setContentsMargins(0, 0, 0, 0);
    segmentsLayout->setSpacing(0);
    for (const MQTTProtocolVersion version : kAllProtocolVersions) {
        auto* button = new QPushButton(QString::fromUtf8(displayText(version)), segments);
        button->setCheckable(true);
        button->setAutoDefault(false);
        button->setObjectName(version == MQTTProtocolVersion::mqtt311 ? QStringLiteral("protocol311Button")
                                                                      : QStringLiteral("protocol50Button"));
        group->addButton(button, rawValue(version));
        segmentsLayout->addWidget(button);
    }
    segmentsLayout->addStretch(1);
    group->setExclusive(true);
    return segments;
}

}  // namespace

BrokerBox::BrokerBox(SettingsWindowState& state, QWidget* parent)
    : QGroupBox(QStringLiteral("Broker"), parent),
      state_(state),
      host_(new QLineEdit(this)),
      port_(new QLineEdit(this)),
      clientID_(new QLineEdit(this)),
      username_(new QLineEdit(this)),
      password_(new QLineEdit(this)),
      protocol_(new QButtonGroup(this))
{
    setObjectName(QStringLiteral("brokerBox"));
    auto* grid = new QGridLayout(this);
    grid->setVerticalSpacing(8);
    grid->setColumnMinimumWidth(0, kLabelWidth);
    grid->setColumnStretch(1, 1);

    int row = 0;
    const auto addRow = [&](const QString& text, QWidget* field, const char* name, QWidget* buddy = nullptr) {
        auto* label = new QLabel(text, this);
        label->setFixedWidth(kLabelWidth);
        // The label names the field for screen readers.
        label->setBuddy(buddy != nullptr ? buddy : field);
        field->setObjectName(QLatin1String(name));
        grid->addWidget(label, row, 0, Qt::AlignLeft | Qt::AlignVCenter);
        grid->addWidget(field, row, 1);
        ++row;
    };

    host_->setPlaceholderText(QStringLiteral("192.168.1.10"));
    port_->setPlaceholderText(QStringLiteral("1883"));
    port_->setInputMethodHints(Qt::ImhDigitsOnly);
    clientID_->setPlaceholderText(QStringLiteral("client-id"));
    username_->setPlaceholderText(QStringLiteral("optional"));
    password_->setPlaceholderText(QStringLiteral("optional"));
    password_->setEchoMode(QLineEdit::Password);

    auto* hostRow = new QWidget(this);
    auto* hostLayout = new QHBoxLayout(hostRow);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    hostLayout->setSpacing(4);
    hostLayout->addWidget(host_, 1);
    auto* search = searchButton(hostRow);
    hostLayout->addWidget(search);
    addRow(QStringLiteral("Host"), hostRow, "hostRow", host_);
    host_->setObjectName(QStringLiteral("hostField"));
    // The label is not its sibling any more, so screen readers would not
    // find the name through it.
    host_->setAccessibleName(QStringLiteral("Host"));
    addRow(QStringLiteral("Port"), port_, "portField");
    addRow(QStringLiteral("Client ID"), clientID_, "clientIdField");
    addRow(QStringLiteral("Benutzername"), username_, "usernameField");
    addRow(QStringLiteral("Passwort"), password_, "passwordField");

    auto* segments = protocolSegments(protocol_, this);
    addRow(QStringLiteral("Protokoll"), segments, "protocolPicker", protocol_->buttons().value(0));

    connect(search, &QToolButton::clicked, this, [this] { state_.setShowBrokerSearch(true); });
    connect(host_, &QLineEdit::textEdited, this, [this](const QString& text) { state_.setHost(text.toStdString()); });
    connect(port_, &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.setPortText(text.toStdString()); });
    // Text that did not parse gives way to the port that stayed in place.
    connect(port_, &QLineEdit::editingFinished, this, &BrokerBox::restorePortText);
    connect(clientID_, &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.setClientID(text.toStdString()); });
    connect(username_, &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.setUsernameText(text.toStdString()); });
    connect(password_, &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.setPasswordText(text.toStdString()); });
    connect(protocol_, &QButtonGroup::idClicked, this, [this](int id) {
        if (const auto version = protocolVersionFromRaw(id)) {
            state_.selectProtocolVersion(*version);
        }
    });

    refresh();
}

void BrokerBox::refresh()
{
    const MQTTConfig& config = state_.config();
    setTextIfDifferent(host_, config.host);
    setTextIfDifferent(clientID_, config.clientID);
    setTextIfDifferent(username_, state_.usernameText());
    setTextIfDifferent(password_, state_.passwordText());
    // While the user types a port that does not parse yet, the text stays.
    if (!port_->hasFocus()) {
        restorePortText();
    }
    if (QAbstractButton* button = protocol_->button(rawValue(state_.protocolVersion()))) {
        button->setChecked(true);
    }
}

void BrokerBox::restorePortText()
{
    setTextIfDifferent(port_, state_.portText());
}

}  // namespace telvane
