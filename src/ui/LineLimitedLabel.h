#pragma once

// A plain-text label that shows at most a given number of lines at its
// current width, the last one cut off with an ellipsis. The whole text stays
// available as tooltip and accessible description.

#include <QLabel>

namespace telvane {

class LineLimitedLabel final : public QLabel {
    Q_OBJECT

public:
    explicit LineLimitedLabel(int maxLines, QWidget* parent = nullptr);

    void setFullText(const QString& text);
    [[nodiscard]] const QString& fullText() const { return fullText_; }
    [[nodiscard]] int maxLines() const { return maxLines_; }

    [[nodiscard]] QSize minimumSizeHint() const override;

    // `text` laid out at `width` in `font`: at most `maxLines` lines joined
    // by "\n", the last elided when text remains.
    [[nodiscard]] static QString limitToLines(const QString& text, const QFont& font, int width, int maxLines);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void relayout();

    int maxLines_;
    QString fullText_;
};

}  // namespace telvane
