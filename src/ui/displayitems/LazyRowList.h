#pragma once

// A vertical list of equally high rows in a scroll area that makes row
// widgets only for the rows in sight (and one on either side) and reuses them
// as the list scrolls: a list of ten thousand entries costs about as much as
// one of ten. The widgets that exist are ordinary child widgets, so screen
// readers see them with their names and roles.
//
// Entries are matched to row widgets by a key. A row whose key stays in the
// list keeps its widget, and with it text, focus and cursor, also when
// entries before it come or go; the row holding the keyboard focus is kept
// even while it is scrolled out of sight.
//
// Keyboard: Tab into the list lands on the first row in sight (Shift+Tab on
// the last), then walks the rows' controls in list order, scrolling each row
// into sight, and leaves the list after the last row. The rows' controls are
// therefore not tab stops of the window themselves.

#include <QScrollArea>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace telvane {

class LazyRowList final : public QScrollArea {
    Q_OBJECT

public:
    struct Delegate {
        // A new row widget. Its children that take focus are the row's
        // controls, in the order of their creation.
        std::function<QWidget*(QWidget* parent)> makeRow;
        // The key of entry `index` (index < rowCount()).
        std::function<std::string(std::size_t index)> key;
        // Shows entry `index` in `row`. Runs for every row in sight at each
        // setRowCount(); it must leave a control alone that already shows
        // what it should.
        std::function<void(QWidget* row, std::size_t index)> bindRow;
    };

    // At most `maxHeight` pixels high, less when the rows need less;
    // `spacing` pixels between rows.
    LazyRowList(int maxHeight, int spacing, Delegate delegate, QWidget* parent = nullptr);
    ~LazyRowList() override;
    LazyRowList(const LazyRowList&) = delete;
    LazyRowList& operator=(const LazyRowList&) = delete;

    // Shows `count` entries and binds the rows in sight again. Call it after
    // every change of what the entries show, also when their number stayed.
    void setRowCount(std::size_t count);
    [[nodiscard]] std::size_t rowCount() const { return count_; }

    // The widget that shows entry `index` now, or null while it has none.
    [[nodiscard]] QWidget* rowAt(std::size_t index) const;
    // Scrolls until entry `index` is in sight; its widget exists then.
    void scrollToRow(std::size_t index);

protected:
    bool focusNextPrevChild(bool next) override;
    void focusInEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Row;

    void layoutRows();
    // The rows to lay out: those in sight, one more at each end, and the
    // one holding the focus.
    [[nodiscard]] std::vector<std::size_t> neededRows() const;
    // A row widget for each of `keys`: the one already showing that key, or
    // one set free, or a new one. Rows left over are hidden.
    [[nodiscard]] std::vector<Row*> assignRows(const std::vector<std::string>& keys);
    Row& newRow();
    [[nodiscard]] Row* rowFor(std::size_t index) const;
    [[nodiscard]] Row* rowHolding(const QWidget* widget) const;
    [[nodiscard]] std::optional<std::size_t> currentIndexOf(const Row& row) const;
    [[nodiscard]] std::size_t firstRowInSight() const;
    [[nodiscard]] std::size_t lastRowInSight() const;
    // Focuses the first (or, backwards, last) enabled control of entry
    // `index`, or of the entries after (before) it. False when none has one.
    bool focusFrom(std::size_t index, bool next);
    // The window's next (previous) tab stop outside this list.
    [[nodiscard]] QWidget* neighbourOutside(bool next) const;
    void focusChanged(QWidget* now);

    int maxHeight_;
    int spacing_;
    Delegate delegate_;
    QWidget* content_;
    std::vector<std::unique_ptr<Row>> rows_;
    std::size_t count_ = 0;
    int rowHeight_ = 0;  // measured on the first row
    bool layingOut_ = false;
};

}  // namespace telvane
