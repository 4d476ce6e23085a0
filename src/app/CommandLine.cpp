#include "app/CommandLine.h"

#include "app/Autostart.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <array>
#include <cstdio>

namespace telvane {

namespace {

constexpr int kUsageError = 2;

struct QtOption {
    const char* name;
    const char* valueName;  // nullptr: a switch
    const char* description;
};

// What QApplication reads from the command line itself. Listed here so that
// they are no usage error before it runs, and --help-all can show them.
constexpr std::array kQtOptions{
    QtOption{"platform", "platformName[:options]", "QPA plugin."},
    QtOption{"platformpluginpath", "path", "Path to the platform plugins."},
    QtOption{"platformtheme", "theme", "Platform theme."},
    QtOption{"plugin", "plugin", "Additional plugins to load, can be specified multiple times."},
    QtOption{"qwindowgeometry", "geometry", "Window geometry for the main window, like 100x100+50+50."},
    QtOption{"geometry", "geometry", "Alias for --qwindowgeometry."},
    QtOption{"qwindowicon", "icon", "Default window icon."},
    QtOption{"icon", "icon", "Alias for --qwindowicon."},
    QtOption{"qwindowtitle", "title", "Title of the first window."},
    QtOption{"title", "title", "Alias for --qwindowtitle."},
    QtOption{"reverse", nullptr, "Sets the application's layout direction to right to left."},
    QtOption{"session", "session", "Restores the application from an earlier session."},
    QtOption{"display", "display", "Display name, overrides $DISPLAY."},
    QtOption{"name", "name", "Instance name according to ICCCM 4.1.2.1."},
    QtOption{"visual", "id", "ID of the X11 Visual to use."},
    QtOption{"nograb", nullptr, "Disable mouse grabbing (useful in debuggers)."},
    QtOption{"dograb", nullptr, "Force mouse grabbing (even when running in a debugger)."},
    QtOption{"style", "style", "Application GUI style override."},
    QtOption{"stylesheet", "stylesheet", "Application-level stylesheet."},
    QtOption{"widgetcount", nullptr, "Print the number of widgets left undestroyed at the end."},
    QtOption{"qmljsdebugger", "value", "Activates the QML/JS debugger."},
};

void addQtOptions(QCommandLineParser& parser, bool shown)
{
    for (const QtOption& qt : kQtOptions) {
        QCommandLineOption option(QString::fromLatin1(qt.name), QString::fromLatin1(qt.description));
        if (qt.valueName != nullptr) {
            option.setValueName(QString::fromLatin1(qt.valueName));
        }
        if (!shown) {
            option.setFlags(QCommandLineOption::HiddenFromHelp);
        }
        parser.addOption(option);
    }
}

// The parser of telvane's options, with Qt's listed in --help-all only.
void addOptions(QCommandLineParser& parser, bool showQtOptions)
{
    // Qt takes "-platform" as one option, not as -p -l -a ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Feeds a desktop widget with live values from an MQTT broker. Telvane keeps one connection to the broker\n"
        "configured in its settings window, stores the latest message of each configured topic in a store that\n"
        "widgets read, and asks them to reload after each message. Starting it again while it runs brings the\n"
        "running window to the front."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QString::fromLatin1(Autostart::kOption),
                                        QStringLiteral("Start as the desktop session does: with the window hidden "
                                                       "where a tray icon can show it.")));
    addQtOptions(parser, showQtOptions);
}

void print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// Without a QCoreApplication the parser knows no program name.
QString helpText(const QCommandLineParser& parser, const QString& program)
{
    QString text = parser.helpText();
    text.replace(QStringLiteral("<executable_name>"), program);
    return text;
}

}  // namespace

CommandLine readCommandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const QString program = arguments.value(0, QCoreApplication::applicationName());

    QCommandLineParser parser;
    addOptions(parser, false);
    CommandLine result;
    if (!parser.parse(arguments)) {
        print(stderr, program + QStringLiteral(": ") + parser.errorText() + QStringLiteral("\nTry '") + program
                          + QStringLiteral(" --help'.\n"));
        result.exitStatus = kUsageError;
        return result;
    }
    if (parser.isSet(QStringLiteral("help-all"))) {
        QCommandLineParser all;
        addOptions(all, true);
        print(stdout, helpText(all, program));
        result.exitStatus = 0;
    } else if (parser.isSet(QStringLiteral("help"))) {
        print(stdout, helpText(parser, program));
        result.exitStatus = 0;
    } else if (parser.isSet(QStringLiteral("version"))) {
        print(stdout, QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion()
                          + QLatin1Char('\n'));
        result.exitStatus = 0;
    } else if (!parser.positionalArguments().isEmpty()) {
        print(stderr, program + QStringLiteral(": unexpected argument '") + parser.positionalArguments().front()
                          + QStringLiteral("'.\nTry '") + program + QStringLiteral(" --help'.\n"));
        result.exitStatus = kUsageError;
    }
    result.autostarted = parser.isSet(QString::fromLatin1(Autostart::kOption));
    return result;
}

}  // namespace telvane
