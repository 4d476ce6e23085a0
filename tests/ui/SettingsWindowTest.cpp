// The window's bindings: each control reaches the state it belongs to. What
// the state then does is tested in SettingsWindowStateTest.cpp.

#include "UiFixture.h"

#include "ui/LineLimitedLabel.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

namespace telvane::test {
namespace {

using SettingsWindowTest = UiFixture;

void typeInto(QLineEdit* field, const QString& text)
{
    field->setFocus();
    field->selectAll();
    for (const QChar ch : text) {
        // keyClicks cannot type umlauts; a key event with the text can.
        QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

QString accessibleName(QWidget* widget)
{
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

TEST_F(SettingsWindowTest, EveryControlIsNamedForScreenReaders)
{
    seed(configWithTopics({"home/temp"}));
    openWindow();
    // A field takes its name from the label whose buddy it is.
    for (const auto& [name, field] : std::vector<std::pair<QString, const char*>>{{"Host", "hostField"},
                                                                                  {"Port", "portField"},
                                                                                  {"Client ID", "clientIdField"},
                                                                                  {"Benutzername", "usernameField"},
                                                                                  {"Passwort", "passwordField"}}) {
        EXPECT_EQ(accessibleName(find<QLineEdit>(field)), name);
    }
    EXPECT_EQ(accessibleName(findForTopic<QLineEdit>("topicLabelField", "home/temp")), "Anzeigename für home/temp");
    auto* remove = findForTopic<QToolButton>("removeTopicButton", "home/temp");
    EXPECT_EQ(accessibleName(remove), "Topic entfernen: home/temp");
    EXPECT_FALSE(remove->icon().isNull());
    EXPECT_EQ(accessibleName(find<QPushButton>("saveButton")), "Speichern & Neu verbinden");
}

TEST_F(SettingsWindowTest, HeaderFollowsTheConnectionStateAndShowsTheLastErrorInTwoLines)
{
    seed(configWithTopics({}));
    openWindow();
    auto* text = find<QLabel>("statusText");
    auto* error = find<LineLimitedLabel>("lastErrorLabel");
    EXPECT_EQ(text->text(), "Getrennt");
    EXPECT_FALSE(error->isVisible());

    // A system text that the window has no words of its own for is shown as it is.
    status_.change(false, TransportError{TransportError::Kind::other, "Odd failure\nsecond line\nthird line"});
    EXPECT_TRUE(error->isVisible());
    EXPECT_TRUE(error->text().startsWith("Odd failure"));
    EXPECT_LE(error->text().count('\n'), 1);

    status_.change(true, std::nullopt);
    EXPECT_EQ(text->text(), "Verbunden");
    EXPECT_TRUE(find<QLabel>("statusDot")->property("connected").toBool());
    EXPECT_FALSE(error->isVisible());
}

TEST_F(SettingsWindowTest, ProtocolAndSaveButtonsStoreTheTypedFormAndReopeningReloadsIt)
{
    seed(configWithTopics({}));
    openWindow();
    auto* host = find<QLineEdit>("hostField");
    typeInto(host, "first.lan");
    typeInto(find<QLineEdit>("usernameField"), "Jürgen");
    // Each keystroke applies what parses: "7000" is taken, the fifth zero is not.
    auto* port = find<QLineEdit>("portField");
    typeInto(port, "70000");
    QTest::keyClick(port, Qt::Key_Return);
    EXPECT_EQ(port->text(), "7000");
    QTest::mouseClick(find<QPushButton>("protocol311Button"), Qt::LeftButton);
    EXPECT_EQ(reconnects_, 0) << "the protocol already chosen saves nothing";
    QTest::mouseClick(find<QPushButton>("protocol50Button"), Qt::LeftButton);
    EXPECT_EQ(store_.loadConfig().protocolVersion, MQTTProtocolVersion::mqtt50);
    EXPECT_EQ(store_.loadConfig().host, "first.lan");
    EXPECT_EQ(store_.loadConfig().username, "Jürgen");
    EXPECT_EQ(store_.loadConfig().port, 7000);
    EXPECT_EQ(reconnects_, 1);

    typeInto(host, "second.lan");
    loop_.advance(Seconds(2));
    EXPECT_EQ(host->text(), "second.lan") << "refresh ticks keep unsaved edits";
    QTest::mouseClick(find<QPushButton>("saveButton"), Qt::LeftButton);
    EXPECT_EQ(store_.loadConfig().host, "second.lan");
    EXPECT_EQ(reconnects_, 2);

    window_->hide();
    MQTTConfig stored = configWithTopics({});
    stored.protocolVersion = MQTTProtocolVersion::mqtt311;
    store_.saveConfig(stored);
    window_->show();
    EXPECT_EQ(host->text(), "10.0.0.2");
    EXPECT_TRUE(find<QPushButton>("protocol311Button")->isChecked());
    EXPECT_FALSE(find<QPushButton>("protocol50Button")->isChecked());
}

TEST_F(SettingsWindowTest, ReturnInANameFieldStoresWithoutReconnectingAndRemoveSavesAtOnce)
{
    seed(configWithTopics({"a", "b"}));
    openWindow();
    auto* field = findForTopic<QLineEdit>("topicLabelField", "a");
    typeInto(field, QStringLiteral("  Küche "));
    EXPECT_TRUE(store_.loadConfig().topicLabels.empty()) << "typing alone stores nothing";
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(store_.loadConfig().topicLabels.at("a"), "Küche");
    EXPECT_EQ(reconnects_, 0);
    EXPECT_EQ(reloadSignal_.count, 1);
    loop_.advance(Seconds(0.5));
    EXPECT_EQ(reloadSignal_.count, 2);

    QTest::mouseClick(findForTopic<QToolButton>("removeTopicButton", "a"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(store_.loadConfig().topics, std::vector<std::string>{"b"});
    EXPECT_EQ(reconnects_, 1);
    EXPECT_EQ(findForTopic<QToolButton>("removeTopicButton", "a"), nullptr);
}

TEST_F(SettingsWindowTest, RefreshTickShowsNewMessagesAndTheNameFieldOnceADisplayItemIsGone)
{
    MQTTConfig config = configWithTopics({"a", "b"});
    config.topicLabels = {{"b", "Balkon"}};
    const auto item = MQTTDisplayItem::make("b", "Temp", "temp");
    seed(config, {}, {item});
    openWindow();
    EXPECT_NE(findForTopic<QLineEdit>("topicLabelField", "a"), nullptr);
    EXPECT_EQ(findForTopic<QLineEdit>("topicLabelField", "b"), nullptr);
    const auto hints = window_->findChildren<QLabel*>("topicLabelHint");
    ASSERT_EQ(hints.size(), 1);
    EXPECT_EQ(hints[0]->text(), "Anzeigename über die Anzeige-Elemente");

    store_.removeDisplayItem(item.id);
    store_.appendMessages({message("a", "21.5", 1'700'000'000)}, 50);
    loop_.advance(Seconds(1));
    QCoreApplication::processEvents();
    auto* field = findForTopic<QLineEdit>("topicLabelField", "b");
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->text(), "Balkon");
    const auto payloads = window_->findChildren<QLabel*>("messagePayloadLabel");
    ASSERT_EQ(payloads.size(), 1);
    EXPECT_EQ(payloads[0]->text(), "21.5");
}

}  // namespace
}  // namespace telvane::test
