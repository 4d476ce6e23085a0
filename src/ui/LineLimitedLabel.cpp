#include "ui/LineLimitedLabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QTextLayout>

namespace telvane {

namespace {

// A tooltip or screen reader gets this much of a long text: more is of no
// use to a reader, and a payload of megabytes made both slow.
constexpr qsizetype kMaxDescriptionChars = 4096;

QString described(const QString& text)
{
    return text.size() > kMaxDescriptionChars ? text.left(kMaxDescriptionChars) + QChar(0x2026) : text;
}

}  // namespace

LineLimitedLabel::LineLimitedLabel(int maxLines, QWidget* parent) : QLabel(parent), maxLines_(std::max(1, maxLines))
{
    setTextFormat(Qt::PlainText);
    // The width comes from the column; the text never widens the window.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void LineLimitedLabel::setFullText(const QString& text)
{
    if (text == fullText_ && !this->text().isEmpty()) {
        return;
    }
    fullText_ = text;
    const QString description = described(text);
    setToolTip(description);
    setAccessibleDescription(description);
    relayout();
}

QSize LineLimitedLabel::minimumSizeHint() const
{
    return {0, QLabel::minimumSizeHint().height()};
}

QString LineLimitedLabel::limitToLines(const QString& text, const QFont& font, int width, int maxLines)
{
    const QFontMetrics metrics(font);
    if (width <= 0) {
        width = metrics.horizontalAdvance(QLatin1Char('M')) * 40;
    }
    // Only the start of the text can show: `maxLines` lines of `width`
    // pixels hold at most that many characters of one pixel or more. Laying
    // out the rest cost seconds and gigabytes for a payload of megabytes.
    const qsizetype showable = static_cast<qsizetype>(maxLines) * (width + 1);
    QString prepared = text.left(showable);
    if (text.size() > showable) {
        prepared += QChar(0x2026);
    }
    prepared.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(prepared);
    layout.setFont(font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);

    QStringList lines;
    layout.beginLayout();
    for (int n = 0; n < maxLines; ++n) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(width);
        const int start = line.textStart();
        if (n + 1 == maxLines) {
            // The last line holds the rest: up to its first line break, cut at the width.
            QString rest = prepared.mid(start);
            const qsizetype lineBreak = rest.indexOf(QChar::LineSeparator);
            if (lineBreak >= 0) {
                rest.truncate(lineBreak);
                rest += QChar(0x2026);
            }
            lines << metrics.elidedText(rest, Qt::ElideRight, width);
        } else {
            QString piece = prepared.mid(start, line.textLength());
            piece.remove(QChar::LineSeparator);
            lines << piece;
        }
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}

void LineLimitedLabel::relayout()
{
    const QString limited = limitToLines(fullText_, font(), contentsRect().width(), maxLines_);
    if (limited != text()) {
        setText(limited);
    }
}

void LineLimitedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    relayout();
}

void LineLimitedLabel::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        relayout();
    }
}

}  // namespace telvane
