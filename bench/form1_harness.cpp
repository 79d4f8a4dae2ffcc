// The real Form1, driven without a person: its file chooser is replaced by
// one that returns the next path it was given, so Play can be pressed from a
// script; everything behind the chooser is the window's own code.  With
// --bare it shows the one-button window the bench compares against instead.
//
//   bench_form1 [--bare] [--play COUNT PATH]
//
// --play presses Play COUNT times on PATH once the window has painted.
// Commands on stdin, one a line:
//   play PATH    press Play; the chooser returns PATH
//   volume N     move the slider to N as a program would (no key event)
//   focus        give the slider the keyboard focus and raise the window
// Lines on stdout, times on CLOCK_MONOTONIC in nanoseconds:
//   ready WINDOW_ID       first paint done
//   chosen NS            the chooser returned its path at NS
//   slider VALUE NS      the slider's value changed
//   warn TEXT            the window would have shown a message
#include "bench_clock.h"
#include "Form1.h"
#include "bare_window.h"

#include <QApplication>
#include <QEvent>
#include <QPushButton>
#include <QSlider>
#include <QSocketNotifier>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace {

void say(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout); // the driver times what follows from these lines
}

class Harness : public QObject {
public:
    Harness(QWidget *window, int playCount, QString playPath)
        : window_(window), playCount_(playCount), playPath_(std::move(playPath))
    {
        window_->installEventFilter(this);
        if (auto *slider = window_->findChild<QSlider *>(QStringLiteral("Slider1")))
            connect(slider, &QSlider::valueChanged, this, [](int value) {
                say("slider " + std::to_string(value) + " " + std::to_string(monotonicNs()));
            });
        connect(&input_, &QSocketNotifier::activated, this, &Harness::readCommands);
    }

    QString nextPath() const
    {
        say("chosen " + std::to_string(monotonicNs()));
        return pending_;
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == window_ && event->type() == QEvent::Paint && !painted_) {
            painted_ = true;
            // After this paint has finished, so that "ready" means drawn.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    for (int i = 0; i < playCount_; ++i)
                        play(playPath_);
                    say("ready " + std::to_string(window_->winId()));
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void play(const QString &path)
    {
        pending_ = path;
        if (auto *button = window_->findChild<QPushButton *>(QStringLiteral("Command2")))
            button->click();
    }

    void readCommands()
    {
        char chunk[4096];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            input_.setEnabled(false); // the driver has gone; the script ends us
            return;
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = buffer_.find('\n')) != std::string::npos) {
            const std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            run(line);
        }
    }

    void run(const std::string &line)
    {
        auto *slider = window_->findChild<QSlider *>(QStringLiteral("Slider1"));
        if (line.rfind("play ", 0) == 0) {
            play(QString::fromStdString(line.substr(5)));
        } else if (line.rfind("volume ", 0) == 0 && slider) {
            slider->setValue(std::atoi(line.c_str() + 7));
        } else if (line == "focus" && slider) {
            window_->raise();
            window_->activateWindow();
            slider->setFocus();
        }
    }

    QWidget *window_;
    int playCount_;
    QString playPath_;
    QString pending_;
    bool painted_ = false;
    std::string buffer_;
    QSocketNotifier input_{STDIN_FILENO, QSocketNotifier::Read};
};

} // namespace

int main(int argc, char *argv[])
{
    bool bare = false;
    int playCount = 0;
    QString playPath;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bare") == 0) {
            bare = true;
        } else if (std::strcmp(argv[i], "--play") == 0 && i + 2 < argc) {
            playCount = std::atoi(argv[i + 1]);
            playPath = QString::fromLocal8Bit(argv[i + 2]);
            i += 2;
        }
    }

    QApplication app(argc, argv);
    std::unique_ptr<Harness> harness;
    Form1Seams seams;
    seams.chooseFile = [&harness](QWidget *) { return harness->nextPath(); };
    seams.warn = seams.critical = [](QWidget *, const QString &text) {
        say("warn " + text.simplified().toStdString());
    };
    std::unique_ptr<QWidget> window;
    if (bare)
        window = makeBareWindow();
    else
        window = std::make_unique<Form1>(seams);
    harness = std::make_unique<Harness>(window.get(), playCount, playPath);
    window->show();
    const int status = app.exec();
    harness.reset();
    return status;
}
