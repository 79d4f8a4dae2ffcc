#include "SleepInhibitor.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString LogindService = QStringLiteral("org.freedesktop.login1");
const QString LogindPath = QStringLiteral("/org/freedesktop/login1");
// The portal's flag for suspend; logout (1), user switch (2) and idle (8),
// which blanks and locks the screen, are none of a player's business.
constexpr uint PortalSuspend = 4;

QString reason()
{
    return QObject::tr("Playing audio");
}

} // namespace

SleepInhibitor::SleepInhibitor(QDBusConnection session, QDBusConnection system, QObject *parent)
    : QObject(parent), session_(std::move(session)), system_(std::move(system))
{
}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

void SleepInhibitor::follow(bool audible)
{
    wanted_ = audible;
    settle();
}

void SleepInhibitor::settle()
{
    if (asking_)
        return;
    if (wanted_ && !holding())
        ask();
    else if (!wanted_ && holding())
        release();
}

void SleepInhibitor::ask()
{
    if (way_ == Way::Portal && !session_.isConnected())
        way_ = Way::Logind;
    if (way_ == Way::Logind && !system_.isConnected())
        way_ = Way::None;
    if (way_ == Way::None)
        return;

    QDBusMessage call;
    if (way_ == Way::Portal) {
        call = QDBusMessage::createMethodCall(PortalService, PortalPath, QStringLiteral("org.freedesktop.portal.Inhibit"),
                                              QStringLiteral("Inhibit"));
        const QVariantMap options{{QStringLiteral("reason"), reason()},
                                  {QStringLiteral("handle_token"), QStringLiteral("quadrant%1").arg(++asked_)}};
        call << QString() << PortalSuspend << options;
    } else {
        call = QDBusMessage::createMethodCall(LogindService, LogindPath, QStringLiteral("org.freedesktop.login1.Manager"),
                                              QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep") << QStringLiteral("Quadrant") << reason() << QStringLiteral("block");
    }
    // Asked without waiting: a portal started on demand may take its time,
    // and the window must not.
    QDBusConnection &bus = way_ == Way::Portal ? session_ : system_;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &SleepInhibitor::answered);
    asking_ = true;
}

void SleepInhibitor::answered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    asking_ = false;
    if (call->isError()) {
        // No portal (or one without Inhibit): logind, then nothing.
        way_ = way_ == Way::Portal ? Way::Logind : Way::None;
    } else if (way_ == Way::Portal) {
        request_ = QDBusPendingReply<QDBusObjectPath>(*call).value().path();
    } else {
        lock_ = QDBusPendingReply<QDBusUnixFileDescriptor>(*call).value();
    }
    settle();
}

void SleepInhibitor::release()
{
    if (!request_.isEmpty()) {
        session_.send(QDBusMessage::createMethodCall(PortalService, request_,
                                                     QStringLiteral("org.freedesktop.portal.Request"),
                                                     QStringLiteral("Close")));
        request_.clear();
    }
    // Closing the last copy of the descriptor is what lets logind go.
    lock_ = QDBusUnixFileDescriptor();
}
