// The shipped start-up of telvane (TelvaneApp::run) with probes for the
// pictures of the docs and the start-up benchmark, which the shipped program
// has no options for:
//
//   telvane-window-harness [HARNESS OPTIONS] [telvane options]
//
//   --quit-after-shown MS        print "shown" on stdout at the window's
//                                first paint, and quit MS later
//   --screenshot FILE            once the window settled, save it (or the
//                                dialog "Broker suchen" when open) to FILE
//                                as PNG, and quit
//   --display-items-topic TOPIC  choose TOPIC in the box "Anzeige-Elemente"
//   --open-broker-search         open "Broker suchen" once the window is shown
//
// Like app_empty_window, the benchmark's baseline, it says "shown" right
// after the first paint of its window, so both are timed to the same point.

#include "app/TelvaneApp.h"
#include "ui/SettingsWindow.h"
#include "ui/brokersearch/BrokerSearchDialog.h"

#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// Long enough for the first refresh tick (one second after showing) and a
// connection to a local broker, so the picture shows live data.
constexpr int kScreenshotDelayMs = 2500;

struct HarnessOptions {
    std::optional<int> quitAfterShownMs;
    QString screenshotPath;
    std::string displayItemsTopic;
    bool openBrokerSearch = false;
};

// Takes the harness's options out of `args`; what stays is telvane's.
// Returns none when an option lacks its value.
std::optional<HarnessOptions> takeOptions(std::vector<char*>& args)
{
    HarnessOptions options;
    std::vector<char*> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto is = [&](const char* name) { return std::strcmp(args[i], name) == 0; };
        const bool takesValue = is("--quit-after-shown") || is("--screenshot") || is("--display-items-topic");
        if (takesValue && i + 1 >= args.size()) {
            return std::nullopt;
        }
        if (is("--quit-after-shown")) {
            options.quitAfterShownMs = std::stoi(args[++i]);
        } else if (is("--screenshot")) {
            options.screenshotPath = QString::fromLocal8Bit(args[++i]);
        } else if (is("--display-items-topic")) {
            options.displayItemsTopic = args[++i];
        } else if (is("--open-broker-search")) {
            options.openBrokerSearch = true;
        } else {
            rest.push_back(args[i]);
        }
    }
    args = std::move(rest);
    return options;
}

class Probe final : public QObject {
public:
    Probe(telvane::TelvaneApp& app, HarnessOptions options) : app_(app), options_(std::move(options))
    {
        // The box shows the topic's rows once a message of it is stored.
        app_.settings().state().displayItemsEditor().setNewItemTopic(options_.displayItemsTopic);
        app_.window().installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &app_.window() && event->type() == QEvent::Paint && !painted_) {
            painted_ = true;
            // After this paint has finished, not in the middle of it.
            QTimer::singleShot(0, this, [this] { firstPainted(); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void firstPainted()
    {
        if (options_.openBrokerSearch) {
            app_.settings().state().setShowBrokerSearch(true);
        }
        if (!options_.screenshotPath.isEmpty()) {
            QTimer::singleShot(kScreenshotDelayMs, this, [this] { saveScreenshot(); });
        }
        if (options_.quitAfterShownMs) {
            // The benchmark times the way to here by this line.
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            QTimer::singleShot(*options_.quitAfterShownMs, qApp, &QApplication::quit);
        }
    }

    void saveScreenshot()
    {
        // A blinking caret would land in the picture half of the time.
        if (QWidget* focused = QApplication::focusWidget()) {
            focused->clearFocus();
        }
        QWidget* search = app_.settings().brokerSearch();
        QWidget* shown = search != nullptr && search->isVisible() ? search : static_cast<QWidget*>(&app_.window());
        const bool saved = shown->grab().save(options_.screenshotPath);
        QApplication::exit(saved ? 0 : 1);
    }

    telvane::TelvaneApp& app_;
    HarnessOptions options_;
    bool painted_ = false;
};

}  // namespace

int main(int argc, char* argv[])
{
    std::vector<char*> args(argv, argv + argc);
    auto options = takeOptions(args);
    if (!options) {
        std::fputs("telvane-window-harness: an option lacks its value\n", stderr);
        return 2;
    }
    int harnessArgc = static_cast<int>(args.size());
    args.push_back(nullptr);
    std::unique_ptr<Probe> probe;
    return telvane::TelvaneApp::run(harnessArgc, args.data(), [&](telvane::TelvaneApp& app) {
        probe = std::make_unique<Probe>(app, std::move(*options));
    });
}
