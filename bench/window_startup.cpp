// How long the window takes to appear: from the moment a process is started
// to the window's first paint, for Form1 (whose load opens the audio output
// first) and for a bare Qt window of the same size and title with one
// button.  The driver starts RUNS fresh processes of each, alternating, and
// prints medians; each child reports once its first frame, every control
// drawn, has gone to the screen, and leaves at once, since closing is not
// part of appearing.
//
//   bench_window_startup [RUNS]
#include "bench_clock.h"
#include "Form1.h"
#include "bare_window.h"
#include "sound_server.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char *kPrinted = "first_paint_us="; /* among Qt's own lines */

class FirstPaint : public QObject {
public:
    explicit FirstPaint(long long startNs) : startNs_(startNs) {}

    // The window's own paint event comes first, before any of its controls
    // has drawn (the first to draw text makes Qt load its font database);
    // the frame is whole once the paint pass that began here has reached
    // the screen, which a zero timer started now waits for.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QTimer::singleShot(0, [this] {
                std::printf("%s%lld\n", kPrinted, (monotonicNs() - startNs_) / 1000);
                std::fflush(stdout);
                std::_Exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    long long startNs_;
    bool seen_ = false;
};

int child(int argc, char *argv[], bool bare, long long startNs)
{
    QApplication app(argc, argv);
    std::unique_ptr<QWidget> window;
    if (bare)
        window = makeBareWindow();
    else
        window = std::make_unique<Form1>();
    FirstPaint filter(startNs);
    window->installEventFilter(&filter);
    window->show();
    return app.exec();
}

// Microseconds to first paint of one fresh process, or -1.
long long runOnce(bool bare)
{
    std::string log = "/tmp/bench-startup-XXXXXX";
    ::close(mkstemp(log.data()));
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string start = std::to_string(monotonicNs());
    sound::Child child({self, "--child", bare ? "bare" : "form1", start}, {}, log);
    const bool ended = child.wait(std::chrono::seconds(60)) == 0;
    long long us = -1;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(kPrinted, 0) == 0)
            us = std::atoll(line.c_str() + std::strlen(kPrinted));
    std::remove(log.c_str());
    return ended ? us : -1;
}

double medianMs(std::vector<long long> us)
{
    std::sort(us.begin(), us.end());
    return us.empty() ? 0 : us[us.size() / 2] / 1000.0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return child(argc, argv, std::strcmp(argv[2], "bare") == 0, std::atoll(argv[3]));

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    runOnce(true); // warm the file cache for both
    runOnce(false);
    std::vector<long long> bare, form;
    for (int i = 0; i < runs; ++i) {
        const long long b = runOnce(true);
        const long long f = runOnce(false);
        if (b < 0 || f < 0) {
            std::fprintf(stderr, "a window did not come up (is DISPLAY set?)\n");
            return 1;
        }
        bare.push_back(b);
        form.push_back(f);
    }
    const double b = medianMs(bare), f = medianMs(form);
    std::printf("start to first paint, median of %d: bare Qt window %.1f ms, Form1 with "
                "libsona %.1f ms, ratio %.2f (target <= 1.20)\n",
                runs, b, f, f / b);
    return 0;
}
