#pragma once

// The group box "Letzte Nachrichten": the newest stored messages, read only.

#include "model/Records.h"

#include <QGroupBox>

#include <memory>
#include <vector>

class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace telvane {

class RecentMessagesBox final : public QGroupBox {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxRows = 10;

    explicit RecentMessagesBox(QWidget* parent = nullptr);

    // Shows the first kMaxRows of `messages` (newest first, as stored), each
    // as topic, at most two lines of payload and the time of day. Rows are
    // rebuilt only when what they show changed; the same list as last time
    // is not even compared.
    void setMessages(std::shared_ptr<const std::vector<MQTTMessage>> messages);
    void setMessages(std::vector<MQTTMessage> messages);

    // The time of day of `timestamp` in the locale's short time format.
    [[nodiscard]] static QString timeOfDay(const Date& timestamp);

private:
    QLabel* emptyLabel_;
    QScrollArea* scrollArea_;
    QVBoxLayout* rowsLayout_;
    // What the rows show: the first shownCount_ messages of shown_.
    std::shared_ptr<const std::vector<MQTTMessage>> shown_;
    std::size_t shownCount_ = 0;
};

}  // namespace telvane
