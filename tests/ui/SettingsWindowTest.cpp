#include "UiFixture.h"

#include "ui/LineLimitedLabel.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

namespace telvane::test {
namespace {

using SettingsWindowTest = WindowFixture;

void typeInto(QLineEdit* field, const QString& text)
{
    field->setFocus();
    field->selectAll();
    for (const QChar ch : text) {
        // keyClicks cannot type umlauts; a key event with the text can.
        QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

TEST_F(SettingsWindowTest, EveryControlIsNamedForScreenReaders)
{
    seed(configWithTopics({"home/temp"}));
    openWindow();

    const std::vector<std::pair<QString, const char*>> buddies{{"Host", "hostField"},
                                                               {"Port", "portField"},
                                                               {"Client ID", "clientIdField"},
                                                               {"Benutzername", "usernameField"},
                                                               {"Passwort", "passwordField"}};
    for (const auto& [text, field] : buddies) {
        SCOPED_TRACE(text.toStdString());
        QLabel* label = nullptr;
        for (QLabel* candidate : window_->findChildren<QLabel*>()) {
            if (candidate->text() == text) {
                label = candidate;
            }
        }
        ASSERT_NE(label, nullptr);
        ASSERT_NE(label->buddy(), nullptr);
        EXPECT_EQ(label->buddy()->objectName(), field);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(label->buddy());
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), text);
    }

    auto* nameField = findForTopic<QLineEdit>("topicLabelField", "home/temp");
    ASSERT_NE(nameField, nullptr);
    EXPECT_EQ(nameField->accessibleName(), "Anzeigename für home/temp");
    auto* remove = findForTopic<QToolButton>("removeTopicButton", "home/temp");
    ASSERT_NE(remove, nullptr);
    EXPECT_EQ(remove->accessibleName(), "Topic entfernen: home/temp");
    EXPECT_FALSE(remove->icon().isNull());

    auto* save = find<QPushButton>("saveButton");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(save)->text(QAccessible::Name), "Speichern & Neu verbinden");
}

TEST_F(SettingsWindowTest, HeaderShowsTitleConnectionStateAndLastError)
{
    seed(configWithTopics({}));
    openWindow();
    EXPECT_GE(window_->minimumWidth(), 800);
    EXPECT_GE(window_->minimumHeight(), 750);
    EXPECT_TRUE(find<QLabel>("titleLabel")->text().startsWith("Telvane "));

    auto* dot = find<QLabel>("statusDot");
    auto* text = find<QLabel>("statusText");
    auto* error = find<LineLimitedLabel>("lastErrorLabel");
    EXPECT_EQ(text->text(), "Getrennt");
    EXPECT_FALSE(dot->property("connected").toBool());
    EXPECT_FALSE(error->isVisible());

    status_.change(false, "Connection refused\nsecond line\nthird line");
    EXPECT_TRUE(error->isVisible());
    EXPECT_LE(error->text().count('\n'), 1);

    status_.change(true, std::nullopt);
    EXPECT_EQ(text->text(), "Verbunden");
    EXPECT_TRUE(dot->property("connected").toBool());
    EXPECT_FALSE(error->isVisible());
}

TEST_F(SettingsWindowTest, SaveButtonStoresTheFormAndAnnouncesTheChange)
{
    seed(configWithTopics({"a"}), {message("old", "x", 1'700'000'000)});
    openWindow();
    typeInto(find<QLineEdit>("hostField"), "broker.lan");
    find<QLineEdit>("usernameField")->clear();
    typeInto(find<QLineEdit>("usernameField"), "Jürgen");

    QTest::mouseClick(find<QPushButton>("saveButton"), Qt::LeftButton);

    const MQTTConfig stored = store_.loadConfig();
    EXPECT_EQ(stored.host, "broker.lan");
    EXPECT_EQ(stored.username, "Jürgen");
    EXPECT_TRUE(store_.loadMessages().empty());
    EXPECT_EQ(configNotifications(), 1);
    EXPECT_EQ(reloader_.count, 1);
    loop_.advance(Seconds(0.5));
    EXPECT_EQ(reloader_.count, 2);
}

TEST_F(SettingsWindowTest, PortFieldKeepsThePreviousPortForTextThatIsNotAPort)
{
    seed(configWithTopics({}));
    openWindow();
    auto* port = find<QLineEdit>("portField");
    EXPECT_EQ(port->text(), "1883");

    port->setFocus();
    port->selectAll();
    // Each keystroke applies what parses: "7000" is taken, the fifth zero is not.
    QTest::keyClicks(port, "70000");
    EXPECT_EQ(window_->state().config().port, 7000);
    EXPECT_EQ(port->text(), "70000");  // left as typed while editing
    QTest::keyClick(port, Qt::Key_Return);
    EXPECT_EQ(port->text(), "7000");

    port->selectAll();
    QTest::keyClicks(port, "abc");
    EXPECT_EQ(window_->state().config().port, 7000);
    QTest::keyClick(port, Qt::Key_Return);
    EXPECT_EQ(port->text(), "7000");

    port->selectAll();
    QTest::keyClicks(port, "8883");
    EXPECT_EQ(window_->state().config().port, 8883);
}

TEST_F(SettingsWindowTest, TopicRowsShowTheNameFieldOrTheDisplayItemHint)
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
    loop_.advance(Seconds(1));
    QCoreApplication::processEvents();
    auto* field = findForTopic<QLineEdit>("topicLabelField", "b");
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->text(), "Balkon");
}

TEST_F(SettingsWindowTest, ReturnInANameFieldStoresTheTrimmedNameWithoutReconnecting)
{
    seed(configWithTopics({"a"}));
    openWindow();
    auto* field = findForTopic<QLineEdit>("topicLabelField", "a");
    ASSERT_NE(field, nullptr);
    typeInto(field, QStringLiteral("  Küche "));
    EXPECT_EQ(field->text(), "  Küche ");  // the field keeps what is typed
    QTest::keyClick(field, Qt::Key_Return);

    EXPECT_EQ(store_.loadConfig().topicLabels.at("a"), "Küche");
    EXPECT_EQ(configNotifications(), 0);
    EXPECT_EQ(reloader_.count, 1);
}

TEST_F(SettingsWindowTest, RemoveButtonRemovesTheRowAndSavesAtOnce)
{
    seed(configWithTopics({"a", "b"}), {message("a", "1", 1'700'000'000)});
    openWindow();
    QTest::mouseClick(findForTopic<QToolButton>("removeTopicButton", "a"), Qt::LeftButton);
    QCoreApplication::processEvents();

    EXPECT_EQ(store_.loadConfig().topics, std::vector<std::string>{"b"});
    EXPECT_EQ(configNotifications(), 1);
    EXPECT_EQ(findForTopic<QToolButton>("removeTopicButton", "a"), nullptr);
    EXPECT_NE(findForTopic<QToolButton>("removeTopicButton", "b"), nullptr);
}

TEST_F(SettingsWindowTest, ProtocolChangeSavesUnsavedEditsAndReopeningReloadsTheForm)
{
    seed(configWithTopics({}));
    openWindow();
    auto* host = find<QLineEdit>("hostField");
    typeInto(host, "first.lan");
    QTest::mouseClick(find<QPushButton>("protocol50Button"), Qt::LeftButton);
    EXPECT_EQ(store_.loadConfig().protocolVersion, MQTTProtocolVersion::mqtt50);
    EXPECT_EQ(store_.loadConfig().host, "first.lan");
    EXPECT_EQ(configNotifications(), 1);

    typeInto(host, "unsaved.lan");
    loop_.advance(Seconds(2));
    EXPECT_EQ(host->text(), "unsaved.lan") << "refresh ticks keep unsaved edits";

    window_->hide();
    MQTTConfig stored = store_.loadConfig();
    stored.protocolVersion = MQTTProtocolVersion::mqtt311;
    store_.saveConfig(stored);
    window_->show();

    EXPECT_EQ(host->text(), "first.lan");
    EXPECT_TRUE(find<QPushButton>("protocol311Button")->isChecked());
    EXPECT_FALSE(find<QPushButton>("protocol50Button")->isChecked());
}

TEST_F(SettingsWindowTest, NewMessagesReachTheListWithinOneTick)
{
    seed(configWithTopics({"a"}));
    openWindow();
    EXPECT_TRUE(find<QLabel>("recentMessagesEmptyLabel")->isVisible());
    store_.appendMessage(message("a", "21.5", 1'700'000'000), 50);
    loop_.advance(Seconds(1));
    const auto payloads = window_->findChildren<QLabel*>("messagePayloadLabel");
    ASSERT_EQ(payloads.size(), 1);
    EXPECT_EQ(payloads[0]->text(), "21.5");
}

}  // namespace
}  // namespace telvane::test
