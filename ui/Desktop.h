// What joins the window to the desktop session it runs in: the player
// controls of the panel and the media keys (Mpris), later starts handing
// over their files (SingleInstance), and no suspend while sound plays
// (SleepInhibitor).  Each part does nothing where its bus is missing.
#pragma once

#include <QDBusConnection>
#include <QObject>

class Form1;
class Mpris;
class SingleInstance;
class SleepInhibitor;

class Desktop : public QObject {
    Q_OBJECT

public:
    // `instance` has already claimed the name or found no bus; main and the
    // tests pass the session and system buses they mean.
    Desktop(Form1 *form, SingleInstance *instance, QDBusConnection session, QDBusConnection system,
            QObject *parent = nullptr);
    ~Desktop() override;

private:
    Mpris *mpris_;
    SleepInhibitor *inhibitor_;
};
