#pragma once

// The topic chooser of the box "Anzeige-Elemente": a combo box that screen
// readers announce by its accessible name ("Topic") with the chosen entry as
// its value. Qt's own combo box accessible on Linux gives its current entry
// as the name instead and leaves the purpose to a label relation, which a
// chooser without a visible title cannot offer. Selecting an entry of the
// closed list, as screen readers can, chooses it.

#include <QComboBox>

namespace telvane {

class TopicChooser final : public QComboBox {
    Q_OBJECT

public:
    explicit TopicChooser(QWidget* parent = nullptr);
};

}  // namespace telvane
