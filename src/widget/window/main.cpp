// telvane-widget-window: the window of telvane-widget --window, a program
// of its own so that the text modes never load Qt. telvane-widget starts it
// with the same arguments.

#include "platform/DBusReloadSignal.h"
#include "widget/OnceRun.h"
#include "widget/WidgetOptions.h"
#include "widget/window/WidgetWindow.h"
#include "widget/window/WindowFollower.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <iostream>

namespace {

using namespace telvane::widget;

// Starting Telvane while it runs brings its window to the front.
void openTelvane()
{
    const QString telvane = QStandardPaths::findExecutable(QStringLiteral("telvane"));
    if (!telvane.isEmpty()) {
        QProcess::startDetached(telvane, {});
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = parseCommandLine(arguments);
    if (parsed.action == ParsedCommandLine::Action::usageError) {
        std::cerr << "telvane-widget: " << parsed.error << "\n";
        return 2;
    }
    const WidgetOptions& options = parsed.options;

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("telvane-widget"));
    QApplication::setDesktopFileName(QStringLiteral("telvane-widget"));

    WidgetWindow window(WidgetWindow::defaultSettingsPath());
    QObject::connect(&window, &WidgetWindow::openTelvaneRequested, &window, &openTelvane);
    bool shown = false;
    WindowFollower follower(options, storePathFor(options), telvane::DBusReloadSignal::sessionBusAddress(), window);
    QObject::connect(&window, &WidgetWindow::painted, &window, [&] {
        if (shown) {
            return;
        }
        shown = true;
        if (options.screenshotPath) {
            // After the first paint, once the layout has settled.
            QTimer::singleShot(200, &window, [&] {
                window.grab().save(QString::fromStdString(options.screenshotPath->string()));
                QApplication::quit();
            });
        }
        if (options.quitAfterShownMs) {
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            QTimer::singleShot(*options.quitAfterShownMs, &window, &QApplication::quit);
        }
    });
    follower.start();
    window.show();
    return QApplication::exec();
}
