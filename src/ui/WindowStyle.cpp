#include "ui/WindowStyle.h"

#include <QLabel>
#include <QPalette>
#include <QWidget>

// The icons live in this static library; nothing references them by symbol,
// so they are registered by hand before the first use.
static void registerIcons()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    (void)registered;
}

namespace telvane::style {

namespace {

QFont scaled(const QFont& base, double factor)
{
    QFont font = base;
    if (base.pointSizeF() > 0) {
        font.setPointSizeF(base.pointSizeF() * factor);
    } else {
        font.setPixelSize(std::max(1, static_cast<int>(base.pixelSize() * factor)));
    }
    return font;
}

QIcon resourceIcon(const char* name)
{
    registerIcons();
    return QIcon(QStringLiteral(":/telvane/icons/") + QLatin1String(name));
}

}  // namespace

QFont titleFont(const QFont& base)
{
    QFont font = scaled(base, 1.4);
    font.setBold(true);
    return font;
}

QFont captionFont(const QFont& base)
{
    return scaled(base, 0.85);
}

QFont smallCaptionFont(const QFont& base)
{
    return scaled(base, 0.78);
}

void makeSecondary(QWidget* widget, bool tertiary)
{
    QPalette palette = widget->palette();
    QColor colour = palette.color(QPalette::PlaceholderText);
    if (tertiary) {
        colour.setAlphaF(colour.alphaF() * 0.7F);
    }
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

QLabel* plainLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QIcon dotIcon()
{
    return resourceIcon("topic-level.svg");
}

QIcon checkmarkIcon()
{
    return resourceIcon("topic-subscribed.svg");
}

QIcon addIcon()
{
    return resourceIcon("list-add.svg");
}

QIcon removeIcon()
{
    return resourceIcon("list-remove.svg");
}

QIcon tlsBrokerIcon()
{
    return resourceIcon("broker-tls.svg");
}

QIcon plainBrokerIcon()
{
    return resourceIcon("broker-plain.svg");
}

QIcon searchIcon()
{
    return resourceIcon("edit-find.svg");
}

}  // namespace telvane::style
