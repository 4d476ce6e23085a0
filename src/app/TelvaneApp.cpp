#include "app/TelvaneApp.h"

#include "app/AboutBox.h"
#include "discovery/AvahiBrowser.h"
#include "discovery/BrokerDiscovery.h"
#include "platform/AsioTransport.h"
#include "ui/BrokerSearchDialog.h"
#include "ui/ClientConnectionStatus.h"
#include "ui/DisplayItemsEditor.h"
#include "ui/QtEventLoop.h"
#include "ui/SettingsWindow.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

namespace telvane {
namespace {

// Long enough for the first refresh tick (one second after showing) and a
// connection to a local broker, so the picture shows live data.
constexpr int kScreenshotDelayMs = 2500;

}  // namespace

void TelvaneApp::configureApplication()
{
    QApplication::setApplicationName(QStringLiteral("telvane"));
    QApplication::setApplicationDisplayName(QStringLiteral("Telvane"));
    QApplication::setApplicationVersion(QStringLiteral(TELVANE_VERSION));
    QApplication::setOrganizationDomain(QStringLiteral("telvane.org"));
    // Wayland compositors match the window to telvane.desktop by this name.
    QApplication::setDesktopFileName(QStringLiteral("telvane"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/telvane.svg")));
    // The connection keeps feeding the widget while the window is closed.
    QApplication::setQuitOnLastWindowClosed(false);
}

TelvaneApp::TelvaneApp(LaunchOptions options)
    : options_(std::move(options)),
      eventLoop_(std::make_unique<QtEventLoop>()),
      store_(SharedStore::defaultDatabasePath(), eventLoop_.get()),
      reloadSignal_(DBusReloadSignal::sessionBusAddress()),
      transport_(std::make_shared<AsioTransport>()),
      delegate_(std::make_unique<AppDelegate>(*eventLoop_, transport_, store_, reloadSignal_, configChanged_)),
      status_(std::make_unique<ClientConnectionStatus>(delegate_->mqtt())),
      discovery_(
          std::make_unique<BrokerDiscovery>(*eventLoop_, std::make_unique<AvahiBrowser>(*eventLoop_), transport_)),
      autostart_(options_.autostartEntry ? options_.autostartEntry : Autostart::defaultEntryPath(),
                 QCoreApplication::applicationFilePath().toStdString())
{
    // Documents kept back by another process's lock reach the widget late;
    // it has to read again then.
    store_.setPendingWrittenObserver([this] { reloadSignal_.emitReload(); });
    window_ = std::make_unique<QMainWindow>();
    window_->setObjectName(QStringLiteral("mainWindow"));
    settings_ = new SettingsWindow(store_, *eventLoop_, reloadSignal_, configChanged_, *status_, *discovery_);
    // The box shows the topic's rows once a message of it is stored.
    settings_->state().displayItemsEditor().setNewItemTopic(options_.displayItemsTopic);
    window_->setCentralWidget(settings_);
    window_->installEventFilter(this);
    buildMenu();
    buildTrayIcon();
    connect(&signalWatcher_, &UnixSignalWatcher::terminationRequested, this, &TelvaneApp::quit);
}

TelvaneApp::~TelvaneApp()
{
    // The window observes the client; it goes before the delegate drops it.
    trayIcon_.reset();
    window_.reset();
    discovery_.reset();
    status_.reset();
    delegate_.reset();
}

void TelvaneApp::launch()
{
    delegate_->applicationDidFinishLaunching();
    // Without a tray a hidden window could only be reached by starting
    // Telvane again, which nobody would guess.
    if (!options_.autostarted || !hasTray()) {
        window_->show();
    }
}

bool TelvaneApp::hasTray() const
{
    return options_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void TelvaneApp::setStartsAtLogin(bool enabled)
{
    autostart_.setEnabled(enabled);
    const bool isEnabled = autostart_.isEnabled();
    for (QAction* action : autostartActions_) {
        const QSignalBlocker blocker(action);
        action->setChecked(isEnabled);
    }
}

QAction* TelvaneApp::addAutostartAction(QMenu& menu)
{
    QAction* action = menu.addAction(QStringLiteral("Beim Anmelden starten"));
    action->setObjectName(QStringLiteral("autostartAction"));
    action->setCheckable(true);
    action->setChecked(autostart_.isEnabled());
    connect(action, &QAction::toggled, this, &TelvaneApp::setStartsAtLogin);
    autostartActions_.push_back(action);
    return action;
}

void TelvaneApp::showWindow()
{
    if (window_->isMinimized()) {
        window_->showNormal();
    } else {
        window_->show();
    }
    window_->raise();
    window_->activateWindow();
}

void TelvaneApp::quit()
{
    QApplication::quit();
}

void TelvaneApp::buildMenu()
{
    QMenu* menu = window_->menuBar()->addMenu(QStringLiteral("Telvane"));
    menu->setObjectName(QStringLiteral("telvaneMenu"));

    QAction* about = menu->addAction(QStringLiteral("Über Telvane"));
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, [this] { showAboutBox(window_.get()); });

    menu->addSeparator();
    addAutostartAction(*menu);
    menu->addSeparator();
    QAction* quitAction = menu->addAction(QStringLiteral("Beenden"));
    quitAction->setObjectName(QStringLiteral("quitAction"));
    quitAction->setMenuRole(QAction::QuitRole);
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    // Ctrl+Q works wherever the focus is in the window, not only in the menu.
    quitAction->setShortcutContext(Qt::ApplicationShortcut);
    connect(quitAction, &QAction::triggered, this, &TelvaneApp::quit);
}

void TelvaneApp::buildTrayIcon()
{
    if (!hasTray()) {
        return;
    }
    trayMenu_ = std::make_unique<QMenu>();
    QAction* open = trayMenu_->addAction(QStringLiteral("Telvane öffnen"));
    connect(open, &QAction::triggered, this, &TelvaneApp::showWindow);
    trayMenu_->addSeparator();
    addAutostartAction(*trayMenu_);
    trayMenu_->addSeparator();
    QAction* quitAction = trayMenu_->addAction(QStringLiteral("Beenden"));
    connect(quitAction, &QAction::triggered, this, &TelvaneApp::quit);

    trayIcon_ = std::make_unique<QSystemTrayIcon>(QApplication::windowIcon());
    trayIcon_->setToolTip(QStringLiteral("Telvane"));
    trayIcon_->setContextMenu(trayMenu_.get());
    connect(trayIcon_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            showWindow();
        }
    });
    trayIcon_->show();
}

bool TelvaneApp::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_.get() && event->type() == QEvent::Paint && !windowPainted_) {
        windowPainted_ = true;
        // After this paint has finished, not in the middle of it.
        QTimer::singleShot(0, this, &TelvaneApp::onWindowFirstPainted);
    }
    return QObject::eventFilter(watched, event);
}

void TelvaneApp::onWindowFirstPainted()
{
    if (options_.openBrokerSearch) {
        settings_->state().setShowBrokerSearch(true);
    }
    if (!options_.screenshotPath.isEmpty()) {
        QTimer::singleShot(kScreenshotDelayMs, this, [this] {
            // A blinking caret would land in the picture half of the time.
            if (QWidget* focused = QApplication::focusWidget()) {
                focused->clearFocus();
            }
            QWidget* sheet = settings_->brokerSearch();
            QWidget* shown = sheet->isVisible() ? sheet : static_cast<QWidget*>(window_.get());
            const bool saved = shown->grab().save(options_.screenshotPath);
            QApplication::exit(saved ? 0 : 1);
        });
    }
    if (options_.quitAfterShownMs) {
        // The benchmark times the way to here by this line.
        std::fputs("shown\n", stdout);
        std::fflush(stdout);
        QTimer::singleShot(*options_.quitAfterShownMs, this, &TelvaneApp::quit);
    }
}

}  // namespace telvane
