#include "ui/ErrorText.h"

namespace telvane {

namespace {

std::string transportText(const TransportError& error)
{
    using Kind = TransportError::Kind;
    switch (error.kind) {
    case Kind::hostNotFound: return "Host nicht gefunden";
    case Kind::connectionRefused: return "Verbindung verweigert";
    case Kind::networkUnreachable: return "Netzwerk nicht erreichbar";
    case Kind::timedOut: return "Zeitüberschreitung der Verbindung";
    case Kind::connectionClosed: return "Verbindung getrennt";
    // Kept as it always was: scripts and users may know it by this text.
    case Kind::notConnected: return "Not connected";
    case Kind::other: break;
    }
    return error.systemText.empty() ? "Verbindung fehlgeschlagen" : error.systemText;
}

std::string fieldText(ConnectField field)
{
    switch (field) {
    case ConnectField::clientID: return "Client-ID ist zu lang (mehr als 65535 Bytes)";
    case ConnectField::username: return "Benutzername ist zu lang (mehr als 65535 Bytes)";
    case ConnectField::password: return "Passwort ist zu lang (mehr als 65535 Bytes)";
    }
    return {};
}

std::string joined(const std::vector<std::string>& filters)
{
    std::string text;
    for (const auto& filter : filters) {
        text += text.empty() ? filter : ", " + filter;
    }
    return text;
}

template <typename... Cases>
struct Overloaded : Cases... {
    using Cases::operator()...;
};
template <typename... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;

}  // namespace

std::string errorText(const ClientError& error)
{
    return std::visit(
        Overloaded{
            [](const TransportError& e) { return transportText(e); },
            [](const ConnectionRefused& e) { return "Verbindung abgelehnt (Fehler " + std::to_string(e.code) + ")"; },
            [](const PingTimeout&) { return std::string("Ping timeout"); },
            [](const ProtocolError& e) {
                return std::string(e.fault == ProtocolError::Fault::publishAtQoS3
                                       ? "Protokollfehler: PUBLISH mit QoS 3"
                                       : "Protokollfehler: ungültige Paketlänge");
            },
            [](const OverlongField& e) { return fieldText(e.field); },
            [](const OverlongTopic&) {
                return std::string("Topic ist zu lang (mehr als 65535 Bytes) und wird nicht abonniert");
            },
            [](const SubscriptionRefused& e) { return "Broker verweigert das Abonnement: " + joined(e.filters); },
            [](const DisconnectedByBroker& e) {
                return "Vom Broker getrennt (Grund " + std::to_string(e.reasonCode) + ")";
            },
        },
        error);
}

}  // namespace telvane
