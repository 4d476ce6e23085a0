#pragma once

// One found broker in the search dialog: a plain button showing a padlock
// (TLS) or an antenna, the name, "host:port" below it and a plus.

#include "discovery/DiscoveredBroker.h"

#include <QPushButton>

namespace telvane {

class BrokerRowButton final : public QPushButton {
    Q_OBJECT

public:
    BrokerRowButton(DiscoveredBroker broker, QWidget* parent = nullptr);

    [[nodiscard]] const DiscoveredBroker& broker() const { return broker_; }
    // "host:port" as the row shows it: no brackets, no digit grouping.
    [[nodiscard]] static QString addressText(const DiscoveredBroker& broker);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

private:
    DiscoveredBroker broker_;
};

}  // namespace telvane
