#include "ui/displayitems/TopicChooser.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QItemSelectionModel>

namespace telvane {

namespace {

// What Qt's combo box accessible offers (the popup list as child, the
// expanded state, the action that opens the list), with the name kept.
class TopicChooserAccessible final : public QAccessibleWidget {
public:
    explicit TopicChooserAccessible(QComboBox* chooser) : QAccessibleWidget(chooser, QAccessible::ComboBox) {}

    [[nodiscard]] QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value) {
            return chooser()->currentText();
        }
        return QAccessibleWidget::text(t);
    }

    [[nodiscard]] int childCount() const override { return 1; }
    [[nodiscard]] QAccessibleInterface* child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(chooser()->view()) : nullptr;
    }
    [[nodiscard]] int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child != nullptr && child->object() == chooser()->view() ? 0 : -1;
    }

    [[nodiscard]] QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.expandable = true;
        state.expanded = chooser()->view()->isVisible();
        return state;
    }

    [[nodiscard]] QStringList actionNames() const override
    {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override
    {
        if (name == showMenuAction() || name == pressAction()) {
            if (chooser()->view()->isVisible()) {
                chooser()->hidePopup();
            } else {
                chooser()->showPopup();
            }
            return;
        }
        QAccessibleWidget::doAction(name);
    }
    [[nodiscard]] QStringList keyBindingsForAction(const QString& name) const override
    {
        if (name == showMenuAction() || name == pressAction()) {
            return {QKeySequence(Qt::Key_Down).toString(QKeySequence::NativeText)};
        }
        return QAccessibleWidget::keyBindingsForAction(name);
    }

private:
    [[nodiscard]] QComboBox* chooser() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* chooserAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String(TopicChooser::staticMetaObject.className()) && object->isWidgetType()) {
        return new TopicChooserAccessible(static_cast<QComboBox*>(object));
    }
    return nullptr;
}

}  // namespace

TopicChooser::TopicChooser(QWidget* parent) : QComboBox(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(chooserAccessible);
        return true;
    }();
    (void)installed;

    // A screen reader may pick an entry of the closed list directly (the
    // entry's "Toggle" action selects it): that is a choice too. While the
    // list is open its selection follows the pointer, and only a click or
    // Enter chooses.
    connect(view()->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (view()->isVisible()) {
            return;
        }
        const QModelIndexList rows = view()->selectionModel()->selectedRows();
        if (rows.size() == 1 && rows.front().row() != currentIndex()) {
            setCurrentIndex(rows.front().row());
        }
    });
}

}  // namespace telvane
