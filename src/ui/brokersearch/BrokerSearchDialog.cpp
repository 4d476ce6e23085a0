#include "ui/brokersearch/BrokerSearchDialog.h"

#include "discovery/BrokerDiscovery.h"
#include "ui/WindowStyle.h"
#include "ui/brokersearch/BrokerRowButton.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace telvane {

namespace {

QPushButton* headerButton(const QString& text, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    return button;
}

QLabel* captionLabel(const QString& text, const char* name, QWidget* parent)
{
    QLabel* label = style::plainLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setFont(style::captionFont(label->font()));
    return label;
}

}  // namespace

BrokerSearchDialog::BrokerSearchDialog(SettingsWindowState& state, BrokerDiscovery& discovery, QWidget* parent)
    : QDialog(parent),
      state_(state),
      discovery_(discovery),
      busy_(new QProgressBar(this)),
      unreachable_(captionLabel(QStringLiteral("Der Avahi-Dienst ist nicht erreichbar; die Suche im Netzwerk ist "
                                               "nicht möglich."),
                                "avahiUnreachableLabel", this)),
      hint_(captionLabel(QStringLiteral("Suche nach MQTT-Brokern (_mqtt._tcp / _secure-mqtt._tcp) im lokalen "
                                        "Netzwerk …\n\nHinweis: Der Broker muss den Dienst per Bonjour/mDNS "
                                        "annoncieren (z. B. via Avahi). Broker, die das nicht tun, erscheinen "
                                        "hier nicht."),
                         "brokerSearchHint", this)),
      list_(new QScrollArea(this)),
      rows_(nullptr)
{
    setObjectName(QStringLiteral("brokerSearchDialog"));
    setWindowTitle(QStringLiteral("Broker suchen"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(kWidth);
    setMaximumHeight(kMaxHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);

    auto* header = new QHBoxLayout;
    QLabel* title = style::plainLabel(QStringLiteral("Broker suchen"), this);
    title->setObjectName(QStringLiteral("brokerSearchTitle"));
    QFont headline = title->font();
    headline.setBold(true);
    title->setFont(headline);
    header->addWidget(title, 0, Qt::AlignVCenter);
    busy_->setObjectName(QStringLiteral("searchBusyIndicator"));
    busy_->setRange(0, 0);  // indeterminate
    busy_->setTextVisible(false);
    busy_->setFixedSize(48, 8);
    busy_->setAccessibleName(QStringLiteral("Suche läuft"));
    header->addWidget(busy_, 0, Qt::AlignVCenter);
    header->addStretch(1);
    QPushButton* again = headerButton(QStringLiteral("Erneut suchen"), "searchAgainButton", this);
    QPushButton* done = headerButton(QStringLiteral("Fertig"), "doneSearchButton", this);
    header->addWidget(again, 0, Qt::AlignVCenter);
    header->addWidget(done, 0, Qt::AlignVCenter);
    layout->addLayout(header);

    // Said only when it is so: users should not have to guess why nothing
    // is ever found.
    unreachable_->setVisible(false);
    layout->addWidget(unreachable_);

    style::makeSecondary(hint_);
    auto* rowsWidget = new QWidget(list_);
    rowsWidget->setObjectName(QStringLiteral("brokerRows"));
    rows_ = new QVBoxLayout(rowsWidget);
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(6);
    rows_->addStretch(1);
    list_->setObjectName(QStringLiteral("brokerList"));
    list_->setWidget(rowsWidget);
    list_->setWidgetResizable(true);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    list_->setAccessibleName(QStringLiteral("Gefundene Broker"));
    // One of the two is shown.
    layout->addWidget(hint_);
    layout->addWidget(list_);

    connect(again, &QPushButton::clicked, this, [this] { discovery_.start(); });
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    // Escape rejects; either way the dialog is closed and nothing is undone.
    connect(this, &QDialog::finished, this, [this] { state_.setShowBrokerSearch(false); });

    discovery_.setObserver([this] { discoveryChanged(); });
    discoveryChanged();
}

BrokerSearchDialog::~BrokerSearchDialog()
{
    discovery_.setObserver({});
}

void BrokerSearchDialog::stateChanged(StateChanges changes)
{
    if ((changes & change::kBrokerSearchShown) == 0) {
        return;
    }
    if (state_.showBrokerSearch() && !isVisible()) {
        open();
    } else if (!state_.showBrokerSearch() && isVisible()) {
        done(QDialog::Accepted);
    }
}

void BrokerSearchDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        discovery_.start();
    }
}

void BrokerSearchDialog::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    if (!event->spontaneous()) {
        discovery_.stop();
        state_.setShowBrokerSearch(false);
    }
}

void BrokerSearchDialog::discoveryChanged()
{
    busy_->setVisible(discovery_.isSearching());
    unreachable_->setVisible(!discovery_.isServiceReachable());
    if (discovery_.brokers() != shownBrokers_) {
        shownBrokers_ = discovery_.brokers();
        rebuildRows();
    }
    hint_->setVisible(shownBrokers_.empty());
    list_->setVisible(!shownBrokers_.empty());
    fitListToRows();
    adjustSize();
}

void BrokerSearchDialog::fitListToRows()
{
    // Every row in sight as long as the dialog can grow; a row cut in half
    // or hidden below the edge is a broker nobody sees.
    const int rowsHeight = list_->widget()->sizeHint().height() + 2 * list_->frameWidth();
    list_->setFixedHeight(rowsHeight);
    if (list_->isHidden()) {
        return;
    }
    // Word-wrapped texts take the height they need at the dialog's width.
    const int dialogHeight =
        layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth) : layout()->totalSizeHint().height();
    if (dialogHeight > kMaxHeight) {
        list_->setFixedHeight(std::max(0, rowsHeight - (dialogHeight - kMaxHeight)));
    }
}

void BrokerSearchDialog::rebuildRows()
{
    // A row may be the sender of the click that got here: it goes later.
    for (BrokerRowButton* row : list_->widget()->findChildren<BrokerRowButton*>()) {
        rows_->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    int index = 0;
    for (const DiscoveredBroker& broker : shownBrokers_) {
        auto* row = new BrokerRowButton(broker, list_->widget());
        connect(row, &QPushButton::clicked, this, [this, broker] { state_.chooseBroker(broker); });
        rows_->insertWidget(index++, row);
        row->show();  // the list may be on screen already
    }
}

}  // namespace telvane
