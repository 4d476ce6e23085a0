// The baseline of the application benchmarks: a bare Qt Widgets program
// that shows an empty window, with the same "--quit-after-shown MS" protocol
// as telvane (prints "shown" at the first paint, quits MS later). With
// "--text" the window shows one line of text: the fonts a bare window never
// loads, which any window with a word in it has to.

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

class EmptyWindow final : public QWidget {
public:
    explicit EmptyWindow(int quitAfterMs) : quitAfterMs_(quitAfterMs) {}

protected:
    bool event(QEvent* event) override
    {
        const bool handled = QWidget::event(event);
        if (event->type() == QEvent::Paint && !painted_) {
            painted_ = true;
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            QTimer::singleShot(quitAfterMs_, qApp, &QApplication::quit);
        }
        return handled;
    }

private:
    int quitAfterMs_;
    bool painted_ = false;
};

}  // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const qsizetype option = arguments.indexOf(QStringLiteral("--quit-after-shown"));
    const int quitAfterMs = option >= 0 && option + 1 < arguments.size() ? arguments[option + 1].toInt() : 0;
    EmptyWindow window(quitAfterMs);
    window.resize(800, 750);
    if (arguments.contains(QStringLiteral("--text"))) {
        (new QLabel(QStringLiteral("Telvane"), &window))->move(20, 20);
    }
    window.show();
    return QApplication::exec();
}
