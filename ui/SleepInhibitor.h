// Keeps the machine from suspending while sound plays, as desktop players
// do, and only that: the screen may still blank and lock.  It asks the
// desktop portal where there is one and logind where there is not, holds
// at most one inhibitor whatever it is told, and gives it back as soon as
// nothing is heard.  Where neither answers it does nothing, and says
// nothing: a player that cannot keep the machine awake still plays.
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

class SleepInhibitor : public QObject {
    Q_OBJECT

public:
    SleepInhibitor(QDBusConnection session, QDBusConnection system, QObject *parent = nullptr);
    ~SleepInhibitor() override;

public slots:
    // Whether sound may be heard now; called as often as anything changes.
    void follow(bool audible);

private:
    enum class Way { Portal, Logind, None };

    void settle();
    void ask();
    void answered(QDBusPendingCallWatcher *call);
    void release();
    bool holding() const { return !request_.isEmpty() || lock_.isValid(); }

    QDBusConnection session_;
    QDBusConnection system_;
    Way way_ = Way::Portal;
    bool wanted_ = false;
    bool asking_ = false; // an answer is on its way: nothing else is asked meanwhile
    QString request_;     // the portal's handle for what it holds
    QDBusUnixFileDescriptor lock_; // logind's: it holds while this is open
    unsigned asked_ = 0;
};
