#include "ui/brokersearch/BrokerRowButton.h"

#include "ui/WindowStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace telvane {

namespace {

constexpr int kIconSize = 16;

QLabel* iconLabel(const QIcon& icon, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setPixmap(icon.pixmap(kIconSize, kIconSize));
    label->setFixedSize(kIconSize, kIconSize);
    return label;
}

}  // namespace

BrokerRowButton::BrokerRowButton(DiscoveredBroker broker, QWidget* parent)
    : QPushButton(parent),
      broker_(std::move(broker))
{
    setObjectName(QStringLiteral("brokerRow"));
    setProperty("brokerId", QString::fromStdString(broker_.id));
    setFlat(true);
    setAutoDefault(false);
    setCursor(Qt::PointingHandCursor);
    const QString name = QString::fromStdString(broker_.name);
    const QString address = addressText(broker_);
    // The padlock alone would leave screen reader users guessing.
    setAccessibleName(broker_.isTLS ? QStringLiteral("Broker %1 (%2), TLS").arg(name, address)
                                    : QStringLiteral("Broker %1 (%2)").arg(name, address));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 4, 4, 4);
    row->setSpacing(8);
    QLabel* kind = iconLabel(broker_.isTLS ? style::tlsBrokerIcon() : style::plainBrokerIcon(), this);
    kind->setObjectName(broker_.isTLS ? QStringLiteral("tlsIcon") : QStringLiteral("plainIcon"));
    kind->setAccessibleName(broker_.isTLS ? QStringLiteral("TLS") : QStringLiteral("Ohne TLS"));
    row->addWidget(kind, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    QLabel* nameLabel = style::plainLabel(name, this);
    nameLabel->setObjectName(QStringLiteral("brokerNameLabel"));
    QLabel* addressLabel = style::plainLabel(address, this);
    addressLabel->setObjectName(QStringLiteral("brokerAddressLabel"));
    addressLabel->setFont(style::captionFont(addressLabel->font()));
    style::makeSecondary(addressLabel);
    texts->addWidget(nameLabel);
    texts->addWidget(addressLabel);
    row->addLayout(texts);
    row->addStretch(1);
    QLabel* take = iconLabel(style::addIcon(), this);
    take->setAccessibleName(QStringLiteral("Übernehmen"));
    row->addWidget(take, 0, Qt::AlignVCenter);

    // The whole row is the button: clicks on the texts reach it.
    for (QLabel* label : findChildren<QLabel*>()) {
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
}

QString BrokerRowButton::addressText(const DiscoveredBroker& broker)
{
    return QString::fromStdString(broker.host) + QLatin1Char(':') + QString::number(broker.port);
}

QSize BrokerRowButton::sizeHint() const
{
    return layout()->sizeHint();
}

QSize BrokerRowButton::minimumSizeHint() const
{
    return layout()->minimumSize();
}

}  // namespace telvane
