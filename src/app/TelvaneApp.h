#pragma once

// The running application: the delegate with its MQTT client, the one
// settings window with the menu "Telvane", the tray icon where the desktop
// has a tray, and the ways to end it ("Beenden", SIGTERM, SIGINT).
//
// Closing the window only hides it: the connection stays and keeps feeding
// the widget. The window comes back through the tray or another start.

#include "app/AppDelegate.h"
#include "app/Autostart.h"
#include "app/UnixSignalWatcher.h"
#include "model/SharedStore.h"
#include "platform/ConfigChangedSignal.h"
#include "platform/DBusReloadSignal.h"

#include <QObject>
#include <QString>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QMainWindow;
class QMenu;
class QSystemTrayIcon;

namespace telvane {

class AsioTransport;
class BrokerDiscovery;
class ClientConnectionStatus;
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

    // Hidden options for the screenshot and the start-up benchmark.
    // Save a picture of the window to this file once it settled, then quit.
    QString screenshotPath;
    // Print "shown" on stdout at the first paint of the window and quit this
    // many milliseconds later.
    std::optional<int> quitAfterShownMs;
    // Choose this topic in the box "Anzeige-Elemente" (for the screenshot).
    std::string displayItemsTopic;
    // Open the broker search sheet once the window is shown; a screenshot
    // then shows the sheet.
    bool openBrokerSearch = false;
};

class TelvaneApp final : public QObject {
    Q_OBJECT

public:
    // Sets the application's name, version, desktop file name and icon.
    // Call right after creating the QApplication.
    static void configureApplication();

    // Creates every part of the application: the store at
    // SharedStore::defaultDatabasePath(), the reload signal on the session
    // bus, the delegate with its client, the broker search over Avahi, and
    // the window.
    explicit TelvaneApp(LaunchOptions options = {});
    ~TelvaneApp() override;

    // Runs the delegate's launch steps, then shows the window (unless
    // autostarted on a desktop with a tray).
    void launch();

    // Shows the window (again) and brings it to the front.
    void showWindow();

    // Ends the application like "Beenden".
    void quit();

    [[nodiscard]] QMainWindow& window() { return *window_; }
    // "Beim Anmelden starten": writes or removes the autostart entry, and
    // shows the state it ended in.
    void setStartsAtLogin(bool enabled);

private:
    [[nodiscard]] bool hasTray() const;
    QAction* addAutostartAction(QMenu& menu);
    void buildMenu();
    void buildTrayIcon();
    void onWindowFirstPainted();
    bool eventFilter(QObject* watched, QEvent* event) override;

    // Declared in the order of creation; each part outlives those after it.
    LaunchOptions options_;
    std::unique_ptr<QtEventLoop> eventLoop_;
    SharedStore store_;
    DBusReloadSignal reloadSignal_;
    ConfigChangedSignal configChanged_;
    // The client's connections and the broker search's check connections.
    std::shared_ptr<AsioTransport> transport_;
    std::unique_ptr<AppDelegate> delegate_;
    std::unique_ptr<ClientConnectionStatus> status_;
    std::unique_ptr<BrokerDiscovery> discovery_;
    std::unique_ptr<QMainWindow> window_;
    SettingsWindow* settings_ = nullptr;  // owned by window_
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    Autostart autostart_;
    std::vector<QAction*> autostartActions_;  // in the menu bar and the tray menu
    UnixSignalWatcher signalWatcher_;
    bool windowPainted_ = false;
};

}  // namespace telvane
