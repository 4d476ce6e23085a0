#include "ui/displayitems/LazyRowList.h"

#include <QApplication>
#include <QFocusEvent>
#include <QScrollBar>

#include <algorithm>

namespace telvane {

namespace {

bool isUsable(const QWidget* control)
{
    return control->isEnabled() && !control->isHidden();
}

}  // namespace

struct LazyRowList::Row {
    QWidget* widget = nullptr;
    std::vector<QWidget*> controls;  // in tab order
    std::string key;
    std::optional<std::size_t> index;  // none while unused
};

LazyRowList::LazyRowList(int maxHeight, int spacing, Delegate delegate, QWidget* parent)
    : QScrollArea(parent),
      maxHeight_(maxHeight),
      spacing_(spacing),
      delegate_(std::move(delegate)),
      content_(new QWidget)
{
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The content is sized here, not by the scroll area: its height stands
    // for every entry, most of which have no widget.
    setWidgetResizable(false);
    setWidget(content_);
    // The rows stand on the background of whatever holds the list.
    viewport()->setAutoFillBackground(false);
    content_->setAutoFillBackground(false);
    // A tab stop of the window that hands the focus on to the rows.
    setFocusPolicy(Qt::TabFocus);
    setFixedHeight(0);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { layoutRows(); });
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { focusChanged(now); });
}

LazyRowList::~LazyRowList()
{
    // The rows go after this part of the list; focus moving off them on the
    // way must not reach it.
    disconnect(qApp, nullptr, this, nullptr);
    disconnect(verticalScrollBar(), nullptr, this, nullptr);
}

void LazyRowList::setRowCount(std::size_t count)
{
    count_ = count;
    if (rowHeight_ == 0 && count_ > 0) {
        Row& row = newRow();
        delegate_.bindRow(row.widget, 0);
        rowHeight_ = std::max(1, row.widget->sizeHint().height());
    }
    const long long total = count_ == 0 ? 0 : static_cast<long long>(count_) * (rowHeight_ + spacing_) - spacing_;
    const int contentHeight = static_cast<int>(std::min<long long>(total, QWIDGETSIZE_MAX));
    const int height = std::min(contentHeight, maxHeight_) + 2 * frameWidth();
    if (this->height() != height || minimumHeight() != height) {
        setFixedHeight(height);
    }
    if (content_->height() != contentHeight || content_->width() != viewport()->width()) {
        content_->resize(viewport()->width(), contentHeight);
    }
    layoutRows();
}

QWidget* LazyRowList::rowAt(std::size_t index) const
{
    const Row* row = rowFor(index);
    return row == nullptr ? nullptr : row->widget;
}

LazyRowList::Row* LazyRowList::rowFor(std::size_t index) const
{
    for (const auto& row : rows_) {
        if (row->index == index) {
            return row.get();
        }
    }
    return nullptr;
}

LazyRowList::Row& LazyRowList::newRow()
{
    auto row = std::make_unique<Row>();
    row->widget = delegate_.makeRow(content_);
    for (QWidget* child : row->widget->findChildren<QWidget*>()) {
        if ((child->focusPolicy() & Qt::TabFocus) != 0) {
            row->controls.push_back(child);
            // Clicks still focus them; Tab is handled by the list, in list order.
            child->setFocusPolicy(Qt::ClickFocus);
        }
    }
    row->widget->hide();
    rows_.push_back(std::move(row));
    return *rows_.back();
}

LazyRowList::Row* LazyRowList::rowHolding(const QWidget* widget) const
{
    for (const auto& row : rows_) {
        if (widget != nullptr && row->index && row->widget->isAncestorOf(widget)) {
            return row.get();
        }
    }
    return nullptr;
}

std::optional<std::size_t> LazyRowList::currentIndexOf(const Row& row) const
{
    if (row.index && *row.index < count_ && delegate_.key(*row.index) == row.key) {
        return row.index;
    }
    for (std::size_t i = 0; i < count_; ++i) {  // entries before it came or went
        if (delegate_.key(i) == row.key) {
            return i;
        }
    }
    return std::nullopt;
}

std::size_t LazyRowList::firstRowInSight() const
{
    if (count_ == 0) {
        return 0;
    }
    const int stride = rowHeight_ + spacing_;
    const auto first = static_cast<std::size_t>((verticalScrollBar()->value() + stride - 1) / stride);
    return std::min(first, count_ - 1);
}

std::size_t LazyRowList::lastRowInSight() const
{
    if (count_ == 0) {
        return 0;
    }
    const int stride = rowHeight_ + spacing_;
    const int bottom = verticalScrollBar()->value() + viewport()->height() - rowHeight_;
    const auto last = static_cast<std::size_t>(std::max(0, bottom) / stride);
    return std::max(firstRowInSight(), std::min(last, count_ - 1));
}

std::vector<std::size_t> LazyRowList::neededRows() const
{
    std::vector<std::size_t> needed;
    if (count_ > 0) {
        const int stride = rowHeight_ + spacing_;
        const int top = verticalScrollBar()->value();
        const auto first = static_cast<std::size_t>(std::max(0, top / stride - 1));
        const auto last = std::min(count_, static_cast<std::size_t>((top + viewport()->height()) / stride + 2));
        for (std::size_t i = first; i < last; ++i) {
            needed.push_back(i);
        }
    }
    Row* focused = rowHolding(QApplication::focusWidget());
    if (focused != nullptr) {
        const auto index = currentIndexOf(*focused);
        if (index && std::find(needed.begin(), needed.end(), *index) == needed.end()) {
            needed.push_back(*index);
        }
    }
    return needed;
}

std::vector<LazyRowList::Row*> LazyRowList::assignRows(const std::vector<std::string>& keys)
{
    // Rows that show the same key keep it; the rest are reused or made.
    std::vector<Row*> assigned(keys.size(), nullptr);
    std::vector<bool> taken(rows_.size(), false);
    for (std::size_t n = 0; n < keys.size(); ++n) {
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            if (!taken[r] && rows_[r]->index && rows_[r]->key == keys[n]) {
                assigned[n] = rows_[r].get();
                taken[r] = true;
                break;
            }
        }
    }
    std::size_t spare = 0;
    for (std::size_t n = 0; n < keys.size(); ++n) {
        if (assigned[n] != nullptr) {
            continue;
        }
        while (spare < rows_.size() && taken[spare]) {
            ++spare;
        }
        if (spare < rows_.size()) {
            taken[spare] = true;
            assigned[n] = rows_[spare].get();
        } else {
            assigned[n] = &newRow();
            taken.push_back(true);
        }
    }
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        Row& row = *rows_[r];
        if (!taken[r] && row.index) {
            if (row.widget->isAncestorOf(QApplication::focusWidget())) {
                // Its entry is gone; the focus stays in the list.
                setFocus(Qt::OtherFocusReason);
            }
            row.index.reset();
            row.widget->hide();
        }
    }
    return assigned;
}

void LazyRowList::layoutRows()
{
    if (layingOut_) {
        return;
    }
    layingOut_ = true;
    const std::vector<std::size_t> needed = neededRows();
    std::vector<std::string> keys;
    keys.reserve(needed.size());
    for (const std::size_t i : needed) {
        keys.push_back(delegate_.key(i));
    }
    const std::vector<Row*> assigned = assignRows(keys);

    const int stride = rowHeight_ + spacing_;
    bool moved = false;
    for (std::size_t n = 0; n < needed.size(); ++n) {
        Row& row = *assigned[n];
        moved = moved || row.index != needed[n];
        row.key = std::move(keys[n]);
        row.index = needed[n];
        row.widget->setGeometry(0, static_cast<int>(needed[n]) * stride, content_->width(), rowHeight_);
        delegate_.bindRow(row.widget, needed[n]);
        row.widget->show();
    }
    if (moved) {
        // Screen readers read the rows in the order of the child widgets.
        std::vector<Row*> ordered(assigned);
        std::sort(ordered.begin(), ordered.end(), [](const Row* a, const Row* b) { return *a->index < *b->index; });
        for (Row* row : ordered) {
            row->widget->raise();
        }
    }
    layingOut_ = false;
}

void LazyRowList::scrollToRow(std::size_t index)
{
    if (index >= count_) {
        return;
    }
    const int stride = rowHeight_ + spacing_;
    const int half = rowHeight_ / 2;
    ensureVisible(0, static_cast<int>(index) * stride + half, 0, rowHeight_ - half);
    if (rowAt(index) == nullptr) {
        layoutRows();
    }
}

bool LazyRowList::focusFrom(std::size_t index, bool next)
{
    for (std::size_t i = index; i < count_; next ? ++i : --i) {
        scrollToRow(i);
        if (const Row* row = rowFor(i); row != nullptr) {
            const auto& controls = row->controls;
            const auto found = next ? std::find_if(controls.begin(), controls.end(), isUsable)
                                    : std::find_if(controls.rbegin(), controls.rend(), isUsable).base();
            if (next ? found != controls.end() : found != controls.begin()) {
                QWidget* target = next ? *found : *(found - 1);
                target->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
                return true;
            }
        }
        if (!next && i == 0) {
            break;
        }
    }
    return false;
}

QWidget* LazyRowList::neighbourOutside(bool next) const
{
    for (QWidget* w = next ? nextInFocusChain() : previousInFocusChain(); w != nullptr && w != this;
         w = next ? w->nextInFocusChain() : w->previousInFocusChain()) {
        if (!isAncestorOf(w) && w->window() == window() && (w->focusPolicy() & Qt::TabFocus) != 0 && w->isVisible()
            && w->isEnabled() && w->focusProxy() == nullptr) {
            return w;
        }
    }
    return nullptr;
}

bool LazyRowList::focusNextPrevChild(bool next)
{
    QWidget* focus = QApplication::focusWidget();
    if (Row* row = rowHolding(focus); row != nullptr) {
        // The row's own controls first, then the neighbouring rows.
        const auto& controls = row->controls;
        const auto at = std::find(controls.begin(), controls.end(), focus) - controls.begin();
        const std::ptrdiff_t step = next ? 1 : -1;
        for (auto k = at + step; at < std::ssize(controls) && k >= 0 && k < std::ssize(controls); k += step) {
            if (isUsable(controls[static_cast<std::size_t>(k)])) {
                controls[static_cast<std::size_t>(k)]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
                return true;
            }
        }
        const std::size_t index = *row->index;
        if ((next ? index + 1 < count_ : index > 0) && focusFrom(next ? index + 1 : index - 1, next)) {
            return true;
        }
    } else if (focus == this && next && focusFrom(firstRowInSight(), true)) {
        return true;
    }
    if (QWidget* neighbour = neighbourOutside(next); neighbour != nullptr) {
        neighbour->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
        return true;
    }
    return QScrollArea::focusNextPrevChild(next);
}

void LazyRowList::focusInEvent(QFocusEvent* event)
{
    QScrollArea::focusInEvent(event);
    if (layingOut_ || count_ == 0) {
        return;
    }
    if (event->reason() == Qt::BacktabFocusReason) {
        focusFrom(lastRowInSight(), false);
    } else if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason) {
        focusFrom(firstRowInSight(), true);
    }
}

void LazyRowList::resizeEvent(QResizeEvent* event)
{
    QScrollArea::resizeEvent(event);
    if (content_->width() != viewport()->width()) {
        content_->resize(viewport()->width(), content_->height());
    }
    layoutRows();
}

void LazyRowList::focusChanged(QWidget* now)
{
    // A control focused by a click or a screen reader comes fully into sight.
    if (!layingOut_ && now != nullptr && now != this && isAncestorOf(now)) {
        if (const Row* row = rowHolding(now); row != nullptr) {
            scrollToRow(*row->index);
        }
    }
}

}  // namespace telvane
