#pragma once

// The running application: the MQTT client, the one settings window with
// the menu "Telvane", the tray icon where the desktop has a tray, and the
// ways to end it ("Beenden", SIGTERM, SIGINT).
//
// Closing the window only hides it: the connection stays and keeps feeding
// the widget. The window comes back through the tray or another start.

#include "app/Autostart.h"
#include "app/UnixSignalWatcher.h"
#include "model/SharedStore.h"
#include "platform/DBusReloadSignal.h"

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QMainWindow;
class QMenu;
class QSystemTrayIcon;

namespace telvane {

class AsioTransport;
class BrokerDiscovery;
class ClientConnectionStatus;
class MQTTClient;
class SettingsWindow;
class QtEventLoop;

struct LaunchOptions {
    // Started with the session (--autostart): the window stays hidden where
    // a tray icon can bring it back.
    bool autostarted = false;
    // Whether the desktop has a tray; none: ask the desktop. Tests set it.
    std::optional<bool> trayAvailable;
    // Where "Beim Anmelden starten" writes its entry; none: the XDG default.
    std::optional<std::filesystem::path> autostartEntry;
};

class TelvaneApp final : public QObject {
    Q_OBJECT

public:
    // The program telvane: reads the command line (answering --help,
    // --version and usage errors without a display), makes the
    // QApplication, hands over to a Telvane already running on the same
    // store, else launches and runs until quit. Returns the exit status.
    // `beforeLaunch`, when given, sees the application between its making
    // and its launch.
    static int run(int argc, char* argv[], const std::function<void(TelvaneApp&)>& beforeLaunch = {});

    // Sets the application's name, version, desktop file name and icon.
    // Call right after creating the QApplication.
    static void configureApplication();

    // Creates every part of the application: the store at
    // SharedStore::defaultDatabasePath(), the reload signal on the session
    // bus, the MQTT client, the broker search over Avahi, and the window.
    // Nothing connects yet.
    explicit TelvaneApp(LaunchOptions options = {});
    ~TelvaneApp() override;
    TelvaneApp(const TelvaneApp&) = delete;
    TelvaneApp& operator=(const TelvaneApp&) = delete;

    // Call once: shows the window (unless autostarted on a desktop with a
    // tray); then, once it has been painted, shows the tray icon, drops
    // stored messages of topics no longer configured, reloads the widget and
    // connects the client (again after every save in the window).
    void launch();

    // Shows the window (again) and brings it to the front.
    void showWindow();

    // Ends the application like "Beenden".
    void quit();

    [[nodiscard]] QMainWindow& window() { return *window_; }
    [[nodiscard]] SettingsWindow& settings() { return *settings_; }
    // "Beim Anmelden starten": writes or removes the autostart entry, and
    // shows the state it ended in.
    void setStartsAtLogin(bool enabled);

private:
    [[nodiscard]] bool hasTray() const;
    QAction* addAutostartAction(QMenu& menu);
    void buildMenu();
    void buildTrayIcon();
    void finishLaunch();
    bool eventFilter(QObject* watched, QEvent* event) override;

    // Declared in the order of creation; each part outlives those after it.
    LaunchOptions options_;
    std::unique_ptr<QtEventLoop> eventLoop_;
    SharedStore store_;
    DBusReloadSignal reloadSignal_;
    // The client's connections and the broker search's check connections.
    std::shared_ptr<AsioTransport> transport_;
    std::shared_ptr<MQTTClient> mqtt_;
    std::unique_ptr<ClientConnectionStatus> status_;
    std::unique_ptr<BrokerDiscovery> discovery_;
    std::unique_ptr<QMainWindow> window_;
    SettingsWindow* settings_ = nullptr;  // owned by window_
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    Autostart autostart_;
    std::vector<QAction*> autostartActions_;  // in the menu bar and the tray menu
    UnixSignalWatcher signalWatcher_;
    bool launchPending_ = false;  // launched, finishLaunch() not run yet
};

}  // namespace telvane
