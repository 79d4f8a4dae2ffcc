// Start-up: the application and its one window; the program has no command
// line of its own and reads no settings.
#include "Form1.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

bool isSet(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}

// Without one of these Qt aborts with a long platform-plugin message that
// does not say what to do.
bool displayAvailable()
{
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char *argv[])
{
    if (!displayAvailable()) {
        std::fprintf(stderr,
                     "quadrant: no display to open its window on (DISPLAY and WAYLAND_DISPLAY "
                     "are unset); run it under a virtual one: xvfb-run -a %s\n",
                     argc > 0 ? argv[0] : "quadrant");
        return EXIT_FAILURE;
    }

    QApplication app(argc, argv);
    // Wayland matches the window to its launcher, and so to its icon, by this.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUADRANT_APP_ID));
    Form1 form;
    form.show();
    return app.exec();
}
