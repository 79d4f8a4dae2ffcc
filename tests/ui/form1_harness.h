// What the window tests share: a recorder standing in for the user-facing
// calls of Form1, and a wait for the window's own timer that ends on the tick
// itself, not after a time.
#pragma once

#include "Form1.h"

#include <QEventLoop>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

struct Recorder {
    QStringList warnings;
    QStringList criticals;
    QList<int> exits;
    int chooserCalls = 0;
    // What the chooser does when it is open; by default the user cancels.
    std::function<QString()> choose = [] { return QString(); };
    // Called from inside the critical message, while it is up.
    std::function<void(QWidget *parent)> duringCritical = [](QWidget *) {};

    Form1Seams seams()
    {
        Form1Seams s;
        s.chooseFile = [this](QWidget *) {
            ++chooserCalls;
            return choose();
        };
        s.warn = [this](QWidget *, const QString &text) { warnings << text; };
        s.critical = [this](QWidget *parent, const QString &text) {
            criticals << text;
            duringCritical(parent);
        };
        s.exit = [this](int status) { exits << status; };
        return s;
    }
};

inline QTimer *timerOf(QWidget &form)
{
    return form.findChild<QTimer *>(QStringLiteral("Timer1"));
}

// Runs the event loop until the window's timer has ticked `count` times;
// the window's handler is connected first, so it has run by then.  Returns
// false if the ticks never came: the guard only ends a hung test.
inline bool waitForTicks(QWidget &form, int count = 1)
{
    QTimer *timer = timerOf(form);
    if (!timer)
        return false;
    QEventLoop loop;
    int seen = 0;
    const auto tick = QObject::connect(timer, &QTimer::timeout, &loop, [&] {
        if (++seen == count)
            loop.exit(0);
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    guard.start(30000);
    const int status = loop.exec();
    QObject::disconnect(tick);
    return status == 0;
}
