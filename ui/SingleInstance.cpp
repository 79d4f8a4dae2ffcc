#include "SingleInstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QUrl>

namespace {

const QString ServiceName = QStringLiteral(QUADRANT_APP_ID);
const QString ObjectPath = QStringLiteral("/") + QString(ServiceName).replace(u'.', u'/');
const QString Interface = QStringLiteral("org.freedesktop.Application");
// A running window answers at once; one that does not is hung, and this
// start had better open a window of its own than wait on it.
constexpr int HandOverTimeoutMs = 300;

} // namespace

SingleInstance::SingleInstance(QDBusConnection bus, QObject *parent) : QObject(parent), bus_(std::move(bus))
{
    new ApplicationAdaptor(this);
}

SingleInstance::~SingleInstance()
{
    if (claimed_)
        bus_.unregisterService(ServiceName);
}

QStringList SingleInstance::absolutePaths(const QStringList &arguments)
{
    const QDir here = QDir::current();
    QStringList paths;
    for (const QString &argument : arguments) {
        const QUrl url(argument);
        paths << (url.isLocalFile() ? url.toLocalFile() : here.absoluteFilePath(argument));
    }
    return paths;
}

bool SingleInstance::handOver(const QStringList &paths)
{
    if (!bus_.isConnected())
        return false;
    // The object before the name, so that a start that finds the name also
    // finds someone to answer; the calls wait in the event loop until the
    // window is there to take them.
    bus_.registerObject(ObjectPath, this);
    const auto claimed = bus_.interface()->registerService(ServiceName, QDBusConnectionInterface::DontQueueService,
                                                           QDBusConnectionInterface::DontAllowReplacement);
    claimed_ = claimed.isValid() && claimed.value() == QDBusConnectionInterface::ServiceRegistered;
    if (claimed_)
        return false;
    bus_.unregisterObject(ObjectPath);

    QStringList uris;
    for (const QString &path : paths)
        uris << QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, ObjectPath, Interface,
                                                       uris.isEmpty() ? QStringLiteral("Activate") : QStringLiteral("Open"));
    if (!uris.isEmpty())
        call << uris;
    call << QVariantMap();
    return bus_.call(call, QDBus::Block, HandOverTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

ApplicationAdaptor::ApplicationAdaptor(SingleInstance *instance)
    : QDBusAbstractAdaptor(instance), instance_(instance)
{
}

void ApplicationAdaptor::Activate(const QVariantMap &)
{
    emit instance_->activateRequested();
}

void ApplicationAdaptor::Open(const QStringList &uris, const QVariantMap &)
{
    QStringList paths;
    for (const QString &uri : uris) {
        const QUrl url(uri);
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    emit instance_->openRequested(paths);
}

void ApplicationAdaptor::ActivateAction(const QString &, const QVariantList &, const QVariantMap &)
{
    // No actions are offered; being asked still brings the window up.
    emit instance_->activateRequested();
}
