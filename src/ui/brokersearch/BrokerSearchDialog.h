#pragma once

// The window-modal broker search dialog: brokers that announce themselves on
// the local network, found while it is shown; one click takes a broker's
// host and port and reconnects. "Fertig" and Escape close it, and closing it
// in any way ends the search.

#include "ui/SettingsWindowState.h"

#include <QDialog>

#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace telvane {

class BrokerDiscovery;

class BrokerSearchDialog final : public QDialog {
    Q_OBJECT

public:
    // Observes `discovery` until destroyed; both must outlive the dialog.
    BrokerSearchDialog(SettingsWindowState& state, BrokerDiscovery& discovery, QWidget* parent);
    ~BrokerSearchDialog() override;
    BrokerSearchDialog(const BrokerSearchDialog&) = delete;
    BrokerSearchDialog& operator=(const BrokerSearchDialog&) = delete;

    // Opens or closes the dialog as the state says.
    void stateChanged(StateChanges changes);

    static constexpr int kWidth = 440;
    // The list grows with its rows until the dialog is this tall, then scrolls.
    static constexpr int kMaxHeight = 420;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void discoveryChanged();
    void rebuildRows();
    void fitListToRows();

    SettingsWindowState& state_;
    BrokerDiscovery& discovery_;
    QProgressBar* busy_;
    QLabel* unreachable_;
    QLabel* hint_;
    QScrollArea* list_;
    QVBoxLayout* rows_;
    std::vector<DiscoveredBroker> shownBrokers_;
};

}  // namespace telvane
