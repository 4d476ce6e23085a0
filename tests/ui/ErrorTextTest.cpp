#include "ui/ErrorText.h"

#include <gtest/gtest.h>

namespace telvane {
namespace {

TEST(ErrorTextTest, CommonFailuresAreWordedInGermanAndTheRestKeepsTheSystemsText)
{
    using Kind = TransportError::Kind;
    const struct {
        ClientError error;
        std::string text;
    } cases[] = {
        {TransportError{Kind::hostNotFound, "Host not found (authoritative)"}, "Host nicht gefunden"},
        {TransportError{Kind::connectionRefused, "Connection refused"}, "Verbindung verweigert"},
        {TransportError{Kind::networkUnreachable, "Network is unreachable"}, "Netzwerk nicht erreichbar"},
        {TransportError{Kind::timedOut, "Connection timed out"}, "Zeitüberschreitung der Verbindung"},
        {TransportError{Kind::connectionClosed, "Connection reset by peer"}, "Verbindung getrennt"},
        {TransportError::notConnected(), "Not connected"},
        {TransportError{Kind::other, "Too many open files"}, "Too many open files"},
        {TransportError{Kind::other, ""}, "Verbindung fehlgeschlagen"},
        {ConnectionRefused{5}, "Verbindung abgelehnt (Fehler 5)"},
        {ConnectionRefused{255}, "Verbindung abgelehnt (Fehler 255)"},
        {PingTimeout{}, "Ping timeout"},
        {ProtocolError{}, "Protokollfehler: ungültige Paketlänge"},
        {OverlongField{ConnectField::username}, "Benutzername ist zu lang (mehr als 65535 Bytes)"},
        {OverlongTopic{}, "Topic ist zu lang (mehr als 65535 Bytes) und wird nicht abonniert"},
        {SubscriptionRefused{{"#"}}, "Broker verweigert das Abonnement: #"},
        {SubscriptionRefused{{"a/+", "#"}}, "Broker verweigert das Abonnement: a/+, #"},
        {DisconnectedByBroker{0x8B}, "Vom Broker getrennt (Grund 139)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorText(c.error), c.text);
    }
}

}  // namespace
}  // namespace telvane
