#include "app/AboutBox.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>

namespace telvane {
namespace {

constexpr int kIconSize = 64;

}  // namespace

QString aboutText()
{
    const QString credits = QStringLiteral("Entwickelt vom Telvane-Projekt");
    return QStringLiteral("<h3>%1</h3><p>Version %2</p><p><small><a href=\"%3\">%4</a></small></p>")
        .arg(QApplication::applicationDisplayName().toHtmlEscaped(), QApplication::applicationVersion().toHtmlEscaped(),
             QString::fromLatin1(kVendorAddress), credits.toHtmlEscaped());
}

QMessageBox* showAboutBox(QWidget* parent)
{
    static QPointer<QMessageBox> open;
    if (open) {
        open->raise();
        open->activateWindow();
        return open;
    }
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("aboutBox"));
    box->setWindowTitle(QStringLiteral("Über Telvane"));
    box->setIconPixmap(QApplication::windowIcon().pixmap(kIconSize, kIconSize));
    box->setTextFormat(Qt::RichText);
    box->setText(aboutText());
    // Keyboard users and screen readers reach the link too.
    box->setTextInteractionFlags(Qt::TextBrowserInteraction);
    box->setStandardButtons(QMessageBox::Ok);
    box->open();
    open = box;
    return box;
}

}  // namespace telvane
