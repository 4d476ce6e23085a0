#include "app/TelvaneApp.h"

#include "app/AboutBox.h"
#include "app/CommandLine.h"
#include "app/SingleInstance.h"
#include "discovery/AvahiBrowser.h"
#include "discovery/BrokerDiscovery.h"
#include "mqtt/MQTTClient.h"
#include "platform/AsioTransport.h"
#include "ui/ClientConnectionStatus.h"
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
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTimer>

namespace telvane {
namespace {

// What waits for the window's first paint waits no longer than this.
constexpr int kFinishLaunchLimitMs = 1000;

}  // namespace

int TelvaneApp::run(int argc, char* argv[], const std::function<void(TelvaneApp&)>& beforeLaunch)
{
    // Before the QApplication, which needs a display: --help and --version
    // are asked for in terminals without one.
    QApplication::setApplicationName(QStringLiteral("telvane"));
    QApplication::setApplicationVersion(QStringLiteral(TELVANE_VERSION));
    const CommandLine commandLine = readCommandLine(argc, argv);
    if (commandLine.exitStatus) {
        return *commandLine.exitStatus;
    }

    // A later start hands over before it would need a display.
    const auto storePath = SharedStore::defaultDatabasePath();
    SingleInstance instance(
        SingleInstance::socketNameForStore(storePath ? QString::fromStdString(storePath->string()) : QString()));
    if (instance.claim() == SingleInstance::Role::secondary) {
        return 0;
    }

    QApplication application(argc, argv);
    configureApplication();
    instance.serve();

    LaunchOptions options;
    options.autostarted = commandLine.autostarted;
    TelvaneApp app(options);
    connect(&instance, &SingleInstance::activationRequested, &app, &TelvaneApp::showWindow);
    if (beforeLaunch) {
        beforeLaunch(app);
    }
    app.launch();
    return QApplication::exec();
}

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
      mqtt_(MQTTClient::create(*eventLoop_, transport_, store_, reloadSignal_)),
      status_(std::make_unique<ClientConnectionStatus>(mqtt_)),
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
    // Every save reconnects the client, which reads the stored configuration anew.
    settings_ = new SettingsWindow(
        store_, *eventLoop_, reloadSignal_, [this] { mqtt_->connect(); }, *status_, *discovery_);
    window_->setCentralWidget(settings_);
    window_->installEventFilter(this);
    buildMenu();
    connect(&signalWatcher_, &UnixSignalWatcher::terminationRequested, this, &TelvaneApp::quit);
}

TelvaneApp::~TelvaneApp()
{
    // The window observes the client; it goes before the client.
    trayIcon_.reset();
    window_.reset();
    // A task on the transport's thread may hold the client (or a search)
    // for a moment and post to the main loop: without this the client could
    // outlive the loop and the store it writes to, and die on that thread.
    transport_->stop();
    discovery_.reset();
    status_.reset();
    mqtt_.reset();
}

void TelvaneApp::launch()
{
    launchPending_ = true;
    // Without a tray a hidden window could only be reached by starting
    // Telvane again, which nobody would guess.
    if (options_.autostarted && hasTray()) {
        finishLaunch();
        return;
    }
    // The window's first paint needs none of the rest: it follows right
    // after that paint, or after a while should the window not be painted.
    window_->show();
    QTimer::singleShot(kFinishLaunchLimitMs, this, &TelvaneApp::finishLaunch);
}

void TelvaneApp::finishLaunch()
{
    if (!launchPending_) {
        return;
    }
    launchPending_ = false;
    buildTrayIcon();
    store_.pruneMessages(store_.loadConfig().topics);
    reloadSignal_.emitReload();
    mqtt_->connect();
}

bool TelvaneApp::eventFilter(QObject* watched, QEvent* event)
{
    if (launchPending_ && watched == window_.get() && event->type() == QEvent::Paint) {
        // After this paint has finished, not in the middle of it.
        QTimer::singleShot(0, this, &TelvaneApp::finishLaunch);
    }
    return QObject::eventFilter(watched, event);
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

}  // namespace telvane
