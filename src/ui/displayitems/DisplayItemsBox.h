#pragma once

// The group box "Anzeige-Elemente": a topic chooser, one value row per JSON
// path of the chosen topic's latest payload (label field, current value, add
// button), and one row per display item (label field, "topic → path",
// remove button). Everything it does goes through the DisplayItemsEditor.

#include "ui/displayitems/DisplayItemsEditor.h"

#include <QGroupBox>

#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QFrame;
class QLabel;

namespace telvane {

class LazyRowList;

class DisplayItemsBox final : public QGroupBox {
    Q_OBJECT

public:
    explicit DisplayItemsBox(DisplayItemsEditor& editor, QWidget* parent = nullptr);

    // Follows the editor: chooser entries, value rows and item rows. Rows are
    // updated in place, so a field being typed in keeps its text, cursor and
    // focus; with nothing changed this costs a few microseconds per row in
    // sight, whatever the number of paths.
    void refresh();

    [[nodiscard]] LazyRowList* valueList() const { return valueList_; }
    [[nodiscard]] LazyRowList* itemList() const { return itemList_; }

private:
    void refreshChooser();
    QWidget* makeValueRow(QWidget* parent);
    void bindValueRow(QWidget* row, std::size_t index);
    QWidget* makeItemRow(QWidget* parent);
    void bindItemRow(QWidget* row, std::size_t index);

    DisplayItemsEditor& editor_;
    QComboBox* chooser_;
    QLabel* noDataLabel_;
    QLabel* valuesLabel_;
    LazyRowList* valueList_;
    QFrame* divider_;
    QLabel* noItemsLabel_;
    LazyRowList* itemList_;

    std::vector<std::string> shownTopics_;
    std::shared_ptr<const DisplayItemsEditor::Paths> shownPaths_;
};

}  // namespace telvane
