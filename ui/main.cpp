// Start-up: the application and its one window.  The arguments are files
// to play, as the file manager's Open With gives them; while a window runs
// on the same session bus, a start hands them to it instead and ends.
#include "Desktop.h"
#include "Form1.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QDBusConnection>

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
    const QStringList paths = SingleInstance::absolutePaths(QApplication::arguments().mid(1));
    const QDBusConnection session = QDBusConnection::sessionBus();
    SingleInstance instance(session);
    if (instance.handOver(paths))
        return EXIT_SUCCESS;
    Form1 form;
    Desktop desktop(&form, &instance, session, QDBusConnection::systemBus());
    form.show();
    form.openFiles(paths);
    return app.exec();
}
