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
        {TransportError{Kind::connectionRefused, "Connection refused"}, "Verbindung verweigert"},
        {TransportError{Kind::other, "Too many open files"}, "Too many open files"},
        {TransportError{Kind::other, ""}, "Verbindung fehlgeschlagen"},
        {SubscriptionRefused{{"a/+", "#"}}, "Broker verweigert das Abonnement: a/+, #"},
        {ProtocolError{ProtocolError::Fault::publishAtQoS3}, "Protokollfehler: PUBLISH mit QoS 3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorText(c.error), c.text);
    }
}

}  // namespace
}  // namespace telvane
