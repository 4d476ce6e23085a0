#include "UiFixture.h"

#include "ui/brokersearch/BrokerRowButton.h"
#include "ui/brokersearch/BrokerSearchDialog.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>

#include <iterator>

namespace telvane::test {
namespace {

class BrokerSearchTest : public UiFixture {
protected:
    BrokerSearchDialog* openSearch()
    {
        QTest::mouseClick(find<QToolButton>("searchBrokerButton"), Qt::LeftButton);
        BrokerSearchDialog* dialog = window_->brokerSearch();
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialog->isVisible(); }));
        return dialog;
    }

    // A broker announced, resolved and answering its check connection.
    void announce(const std::string& name, bool isTLS, const std::string& address, std::uint16_t port,
                  const std::string& remoteAddress)
    {
        const ServiceInstance instance{2, IPProtocol::ipv4, name, isTLS ? "_secure-mqtt._tcp" : "_mqtt._tcp", "local"};
        browser_->found(instance);
        browser_->resolved(instance, {address, port, 2});
        ScriptedConnection& check = checkTransport_->last();
        check.setRemoteEndpoint({remoteAddress, port});
        check.reportState(ConnectionState::ready);
        loop_.runUntilIdle();
    }

    template <typename T>
    T* inDialog(const char* name)
    {
        return find<T>(name, window_->brokerSearch());
    }

    std::vector<BrokerRowButton*> rows() { return shownInOrder<BrokerRowButton>(window_->brokerSearch()); }

    bool hintShown() { return inDialog<QLabel>("brokerSearchHint")->isVisibleTo(window_->brokerSearch()); }
};

TEST_F(BrokerSearchTest, TheMagnifierOpensASearchingDialogThatListsBrokersAsTheyAreFoundNamedForScreenReaders)
{
    openWindow();
    auto* magnifier = find<QToolButton>("searchBrokerButton");
    EXPECT_EQ(magnifier->toolTip(), QStringLiteral("Broker im Netzwerk suchen (Bonjour/mDNS)"));
    EXPECT_EQ(magnifier->accessibleName(), QStringLiteral("Broker im Netzwerk suchen"));

    BrokerSearchDialog* dialog = openSearch();
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(dialog->width(), BrokerSearchDialog::kWidth);
    EXPECT_TRUE(browser_->isBrowsing);
    EXPECT_TRUE(inDialog<QProgressBar>("searchBusyIndicator")->isVisibleTo(dialog));
    EXPECT_FALSE(inDialog<QLabel>("avahiUnreachableLabel")->isVisibleTo(dialog));
    EXPECT_TRUE(hintShown());
    EXPECT_EQ(inDialog<QLabel>("brokerSearchHint")->text(),
              QStringLiteral("Suche nach MQTT-Brokern (_mqtt._tcp / _secure-mqtt._tcp) im lokalen Netzwerk …\n\n"
                             "Hinweis: Der Broker muss den Dienst per Bonjour/mDNS annoncieren (z. B. via Avahi). "
                             "Broker, die das nicht tun, erscheinen hier nicht."));

    announce("Keller", false, "192.168.1.5", 1883, "192.168.1.5");
    announce("dach", true, "fe80::1", 8883, "fe80::1%eth0");

    EXPECT_FALSE(hintShown());
    EXPECT_EQ(rows().at(0)->findChild<QLabel*>(QStringLiteral("brokerAddressLabel"))->text(),
              QStringLiteral("fe80::1:8883"));
    EXPECT_TRUE(inDialog<QProgressBar>("searchBusyIndicator")->isVisibleTo(dialog)) << "no time limit";
    // A screen reader tells the secure broker by its name and by its icon.
    const struct {
        std::string name;
        std::vector<std::string> icons;
    } expected[] = {
        {"Broker dach (fe80::1:8883), TLS", {"TLS", "Übernehmen"}},
        {"Broker Keller (192.168.1.5:1883)", {"Ohne TLS", "Übernehmen"}},
    };
    ASSERT_EQ(rows().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        QAccessibleInterface* row = QAccessible::queryAccessibleInterface(rows()[i]);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->role(), QAccessible::Button);
        EXPECT_EQ(row->text(QAccessible::Name).toStdString(), expected[i].name);
        std::vector<std::string> icons;
        for (int child = 0; child < row->childCount(); ++child) {
            if (row->child(child)->role() == QAccessible::Graphic) {
                icons.push_back(row->child(child)->text(QAccessible::Name).toStdString());
            }
        }
        EXPECT_EQ(icons, expected[i].icons) << expected[i].name;
    }
}

TEST_F(BrokerSearchTest, TheListGrowsWithItsRowsUpToTheDialogsHeightThenScrolls)
{
    openWindow();
    BrokerSearchDialog* dialog = openSearch();
    auto* list = inDialog<QScrollArea>("brokerList");
    int scrolledFrom = 0;
    for (int count = 1; count <= 30 && scrolledFrom == 0; ++count) {
        SCOPED_TRACE(count);
        const std::string address = "10.0.0." + std::to_string(count);
        announce("Broker " + std::to_string(100 + count), count % 3 == 0, address, 1883, address);
        QCoreApplication::processEvents();
        EXPECT_LE(dialog->height(), BrokerSearchDialog::kMaxHeight);
        if (list->verticalScrollBar()->isVisible()) {
            scrolledFrom = count;
            EXPECT_EQ(dialog->height(), BrokerSearchDialog::kMaxHeight) << "it grew as far as it could first";
            break;
        }
        for (BrokerRowButton* row : rows()) {
            const QRect inList(row->mapTo(list->viewport(), QPoint(0, 0)), row->size());
            EXPECT_TRUE(list->viewport()->rect().contains(inList)) << row->broker().name << " is cut off";
        }
    }
    EXPECT_GT(scrolledFrom, 4) << "no scroll bar while a handful of brokers fit";

    BrokerRowButton* last = rows().back();
    list->ensureWidgetVisible(last, 0, 0);
    const QRect inList(last->mapTo(list->viewport(), QPoint(0, 0)), last->size());
    EXPECT_TRUE(list->viewport()->rect().contains(inList)) << "the last row is reached by scrolling";
}

TEST_F(BrokerSearchTest, ChoosingATLSBrokerTakesOnlyHostAndPortAndReconnectsAtOnce)
{
    MQTTConfig config = configWithTopics({"home/temp"});
    config.username = "user";
    config.password = "secret";
    config.keepAliveInterval = 30;
    config.protocolVersion = MQTTProtocolVersion::mqtt50;
    seed(config);
    openWindow();
    BrokerSearchDialog* dialog = openSearch();
    announce("secure", true, "192.168.1.9", 8883, "192.168.1.9");
    ASSERT_EQ(rows().size(), 1U);

    QTest::mouseClick(rows()[0], Qt::LeftButton);
    MQTTConfig expected = config;
    expected.host = "192.168.1.9";
    expected.port = 8883;
    EXPECT_EQ(store_.loadConfig(), expected);
    EXPECT_EQ(reconnects_, 1) << "the client reconnects without a press on the save button";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }));
    EXPECT_FALSE(discovery_.isSearching());
    EXPECT_FALSE(browser_->isBrowsing);
    EXPECT_EQ(find<QLineEdit>("hostField")->text(), QStringLiteral("192.168.1.9"));
    EXPECT_EQ(find<QLineEdit>("portField")->text(), QStringLiteral("8883"));
}

TEST_F(BrokerSearchTest, DoneAndEscapeEndTheSearchAndTheNextOpeningStartsEmpty)
{
    openWindow();
    for (const bool byEscape : {false, true}) {
        SCOPED_TRACE(byEscape ? "Escape" : "Fertig");
        BrokerSearchDialog* dialog = openSearch();
        EXPECT_TRUE(hintShown()) << "each opening begins with an empty list";
        EXPECT_TRUE(rows().empty());
        announce("broker", false, "10.0.0.1", 1883, "10.0.0.1");
        ASSERT_EQ(rows().size(), 1U);

        if (byEscape) {
            QTest::keyClick(dialog, Qt::Key_Escape);
        } else {
            QTest::mouseClick(inDialog<QPushButton>("doneSearchButton"), Qt::LeftButton);
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }));
        EXPECT_FALSE(discovery_.isSearching());
        EXPECT_FALSE(browser_->isBrowsing);
        EXPECT_FALSE(window_->state().showBrokerSearch());
        EXPECT_EQ(discovery_.brokers().size(), 1U) << "closing keeps the last list until the next start";
    }
    EXPECT_EQ(reconnects_, 0);
}

TEST_F(BrokerSearchTest, SearchAgainEmptiesTheListAndBrowsesAnew)
{
    openWindow();
    BrokerSearchDialog* dialog = openSearch();
    announce("broker", false, "10.0.0.1", 1883, "10.0.0.1");
    const int browses = browser_->browseCount;
    QTest::mouseClick(inDialog<QPushButton>("searchAgainButton"), Qt::LeftButton);
    EXPECT_EQ(browser_->browseCount, browses + 1);
    EXPECT_TRUE(rows().empty());
    EXPECT_TRUE(hintShown());
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(BrokerSearchTest, AnUnreachableMDNSServiceIsSaidInOneExtraLine)
{
    openWindow();
    BrokerSearchDialog* dialog = openSearch();
    auto* line = inDialog<QLabel>("avahiUnreachableLabel");
    browser_->setReachable(false);
    EXPECT_TRUE(line->isVisibleTo(dialog));
    EXPECT_EQ(line->text(),
              QStringLiteral("Der Avahi-Dienst ist nicht erreichbar; die Suche im Netzwerk ist nicht möglich."));
    EXPECT_TRUE(hintShown());
    EXPECT_TRUE(inDialog<QProgressBar>("searchBusyIndicator")->isVisibleTo(dialog)) << "the search still runs";
    browser_->setReachable(true);
    EXPECT_FALSE(line->isVisibleTo(dialog));
}

}  // namespace
}  // namespace telvane::test
