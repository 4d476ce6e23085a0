#pragma once

// The one window of the application: connection status, the broker and topic
// settings, the recent messages and the topic picker. It edits the stored
// configuration and announces saves through a callback; it never drives the
// connection itself.

#include "ui/SettingsWindowState.h"

#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;

namespace telvane {

class BrokerBox;
class BrokerDiscovery;
class BrokerSearchDialog;
class ConnectionStatus;
class DisplayItemsBox;
class LineLimitedLabel;
class RecentMessagesBox;
class TopicPickerDialog;
class TopicsBox;

class SettingsWindow final : public QWidget {
    Q_OBJECT

public:
    // A window over the given parts; they must outlive it. Reads the store at
    // once; the refresh tick starts when the window is shown. `configSaved`
    // runs after every save step. The broker search dialog is the only user
    // of `discovery`.
    SettingsWindow(SharedStore& store, EventLoop& mainLoop, ReloadSignal& reloadSignal,
                   std::function<void()> configSaved, ConnectionStatus& status, BrokerDiscovery& discovery,
                   QWidget* parent = nullptr);
    ~SettingsWindow() override;
    SettingsWindow(const SettingsWindow&) = delete;
    SettingsWindow& operator=(const SettingsWindow&) = delete;

    [[nodiscard]] SettingsWindowState& state() { return *state_; }
    // The dialogs, null until first opened.
    [[nodiscard]] TopicPickerDialog* topicPicker() const { return picker_; }
    [[nodiscard]] BrokerSearchDialog* brokerSearch() const { return brokerSearch_; }

    // "Telvane" and the application's version.
    [[nodiscard]] static QString titleText();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void build();
    void stateChanged(StateChanges changes);
    void statusChanged();

    ConnectionStatus& status_;
    BrokerDiscovery& discovery_;
    std::unique_ptr<SettingsWindowState> state_;

    QLabel* statusDot_ = nullptr;
    QLabel* statusText_ = nullptr;
    LineLimitedLabel* lastError_ = nullptr;
    BrokerBox* brokerBox_ = nullptr;
    TopicsBox* topicsBox_ = nullptr;
    RecentMessagesBox* messagesBox_ = nullptr;
    DisplayItemsBox* displayItemsBox_ = nullptr;
    TopicPickerDialog* picker_ = nullptr;
    BrokerSearchDialog* brokerSearch_ = nullptr;
};

}  // namespace telvane
