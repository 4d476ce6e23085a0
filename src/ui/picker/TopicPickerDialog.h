#pragma once

// The window-modal topic picker: the discovered topics as a tree, with one
// click to add a topic and a field to type one. "Fertig" and Escape close it.

#include "ui/StateChanges.h"

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTreeView;

namespace telvane {

class TopicPickerState;
class TopicTreeModel;

class TopicPickerDialog final : public QDialog {
    Q_OBJECT

public:
    // `isConfigured` tells which topics get a checkmark instead of an add button.
    TopicPickerDialog(TopicPickerState& picker, std::function<bool(const std::string&)> isConfigured, QWidget* parent);

    // Follows the state: tree, checkmarks, manual field, the enabled state
    // of "Aktualisieren" and whether the picker is shown at all.
    void stateChanged(StateChanges changes);

    [[nodiscard]] TopicTreeModel* model() const { return model_; }

private:
    void addFromTree(const QModelIndex& index);
    void updateButtons();

    TopicPickerState& picker_;
    TopicTreeModel* model_;
    QPushButton* refreshButton_;
    QPushButton* doneButton_;
    QStackedWidget* treeArea_;
    QLabel* emptyLabel_;
    QTreeView* treeView_;
    QLineEdit* newTopicField_;
    QPushButton* addButton_;
};

}  // namespace telvane
