#pragma once

// The two kinds of rows of the box "Anzeige-Elemente". Rows are reused for
// other entries as their list scrolls, so each row is told what to show by
// bind(), and bind() leaves alone whatever already shows the right thing: a
// field being typed in keeps its text, cursor and undo history.

#include "sparkline/Sparkline.h"

#include <QWidget>

#include <optional>
#include <string>

class QLineEdit;
class QToolButton;

namespace telvane {

class LineLimitedLabel;

// Label field, current value and add button for one path of the chosen topic.
class ValueRow final : public QWidget {
    Q_OBJECT

public:
    explicit ValueRow(QWidget* parent = nullptr);

    void bind(const std::string& path, const std::string& label, const std::string& value, bool canAdd);
    // The path shown, "" before the first bind().
    [[nodiscard]] std::string path() const { return path_.value_or(""); }

    [[nodiscard]] QLineEdit* labelField() const { return labelField_; }
    [[nodiscard]] LineLimitedLabel* valueLabel() const { return valueLabel_; }
    [[nodiscard]] QToolButton* addButton() const { return addButton_; }

private:
    std::optional<std::string> path_;
    std::optional<std::string> value_;
    QLineEdit* labelField_;
    LineLimitedLabel* valueLabel_;
    QToolButton* addButton_;
};

// Label field, "topic → path" caption, the sparkline of the last 24 hours
// with "min … · max …" under it, and remove button for one display item.
class ItemRow final : public QWidget {
    Q_OBJECT

public:
    explicit ItemRow(QWidget* parent = nullptr);

    void bind(const std::string& id, const std::string& caption, const std::string& label);
    // Draws `points` over `span`; no points leave the place empty, so that
    // every row keeps one height.
    void bindHistory(const Sparkline::Points& points, const std::optional<HistoryRange>& range,
                     const SparklineSpan& span);
    // The id of the item shown, "" before the first bind().
    [[nodiscard]] std::string itemId() const { return id_.value_or(""); }

    [[nodiscard]] QLineEdit* labelField() const { return labelField_; }
    [[nodiscard]] Sparkline* sparkline() const { return sparkline_; }
    [[nodiscard]] LineLimitedLabel* rangeLabel() const { return rangeLabel_; }
    [[nodiscard]] QToolButton* removeButton() const { return removeButton_; }

private:
    std::optional<std::string> id_;
    std::string caption_;
    QLineEdit* labelField_;
    LineLimitedLabel* captionLabel_;
    Sparkline* sparkline_;
    LineLimitedLabel* rangeLabel_;
    QToolButton* removeButton_;
};

// Shows `text` in `field` unless it shows it already; the cursor stays where
// it was as far as the new text allows.
void setTextKeepingCursor(QLineEdit* field, const QString& text);

}  // namespace telvane
