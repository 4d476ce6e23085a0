#include "app/Autostart.h"
#include "app/SingleInstance.h"
#include "app/TelvaneApp.h"
#include "model/SharedStore.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // The window's icons sit in a static library; nothing else pulls them in.
    Q_INIT_RESOURCE(icons);
    telvane::TelvaneApp::configureApplication();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Feeds a desktop widget with live values from an MQTT broker. Telvane keeps one connection to the broker\n"
        "configured in its settings window, stores the latest message of each configured topic in a store that\n"
        "widgets read, and asks them to reload after each message. Starting it again while it runs brings the\n"
        "running window to the front."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption autostarted(QString::fromLatin1(telvane::Autostart::kOption),
                                   QStringLiteral("Start as the desktop session does: with the window hidden where a "
                                                  "tray icon can show it."));
    parser.addOption(autostarted);
    QCommandLineOption screenshot(QStringLiteral("screenshot"), QStringLiteral("Save the window to FILE and quit."),
                                  QStringLiteral("FILE"));
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption quitAfterShown(QStringLiteral("quit-after-shown"),
                                      QStringLiteral("Print \"shown\" once the window is painted, quit MS later."),
                                      QStringLiteral("MS"));
    quitAfterShown.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption itemsTopic(QStringLiteral("display-items-topic"),
                                  QStringLiteral("Choose TOPIC in the box \"Anzeige-Elemente\"."),
                                  QStringLiteral("TOPIC"));
    itemsTopic.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption brokerSearch(QStringLiteral("open-broker-search"),
                                    QStringLiteral("Open the sheet \"Broker suchen\" once the window is shown."));
    brokerSearch.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(screenshot);
    parser.addOption(quitAfterShown);
    parser.addOption(itemsTopic);
    parser.addOption(brokerSearch);
    parser.process(application);

    telvane::LaunchOptions options;
    options.autostarted = parser.isSet(autostarted);
    options.screenshotPath = parser.value(screenshot);
    options.displayItemsTopic = parser.value(itemsTopic).toStdString();
    options.openBrokerSearch = parser.isSet(brokerSearch);
    if (parser.isSet(quitAfterShown)) {
        options.quitAfterShownMs = parser.value(quitAfterShown).toInt();
    }

    const auto storePath = telvane::SharedStore::defaultDatabasePath();
    telvane::SingleInstance instance(telvane::SingleInstance::socketNameForStore(
        storePath ? QString::fromStdString(storePath->string()) : QString()));
    // A screenshot run must not be answered by the user's running Telvane.
    if (options.screenshotPath.isEmpty() && instance.claim() == telvane::SingleInstance::Role::secondary) {
        return 0;
    }

    telvane::TelvaneApp app(options);
    QObject::connect(&instance, &telvane::SingleInstance::activationRequested, &app, &telvane::TelvaneApp::showWindow);
    app.launch();
    return QApplication::exec();
}
