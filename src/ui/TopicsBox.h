#pragma once

// The group box "Topics": one row per configured topic with its display name
// (or a hint when display items name it) and a remove button, and the button
// that opens the topic picker.

#include <QGroupBox>

#include <string>
#include <utility>
#include <vector>

class QPushButton;
class QVBoxLayout;

namespace telvane {

class SettingsWindowState;

class TopicsBox final : public QGroupBox {
    Q_OBJECT

public:
    TopicsBox(SettingsWindowState& state, QWidget* parent = nullptr);

    // Follows the state's topics, display names and display items. Rows are
    // rebuilt only when the topics or their hints changed, so a field being
    // edited keeps its focus and cursor.
    void refresh();

private:
    QWidget* makeRow(const std::string& topic, bool hasDisplayItems);

    SettingsWindowState& state_;
    QVBoxLayout* rowsLayout_;
    QPushButton* addButton_;
    // Per shown row: the topic and whether it shows the hint.
    std::vector<std::pair<std::string, bool>> shownRows_;
};

}  // namespace telvane
