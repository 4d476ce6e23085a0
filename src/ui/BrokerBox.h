#pragma once

// The group box "Broker": address, client identity, credentials and protocol
// of the working configuration.

#include <QGroupBox>

class QButtonGroup;
class QLineEdit;
class QPushButton;

namespace telvane {

class SettingsWindowState;

class BrokerBox final : public QGroupBox {
    Q_OBJECT

public:
    BrokerBox(SettingsWindowState& state, QWidget* parent = nullptr);

    // Shows the state's configuration. Fields that already show their value
    // are left alone, so the cursor stays where the user is typing.
    void refresh();

private:
    void restorePortText();

    SettingsWindowState& state_;
    QLineEdit* host_;
    QLineEdit* port_;
    QLineEdit* clientID_;
    QLineEdit* username_;
    QLineEdit* password_;
    QButtonGroup* protocol_;
};

}  // namespace telvane
