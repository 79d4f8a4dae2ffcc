// One window: the first start owns org.quadrant.Quadrant on the session bus
// and answers org.freedesktop.Application there; a later start hands its
// files to that window and ends.  Without a session bus every start is a
// window of its own, as it always was.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(QDBusConnection bus, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Made before the window, which would open the sound output for
    // nothing.  True when a running Quadrant took `paths` (absolute, as
    // absolutePaths makes them) and came to the front: this start is done.
    // False when this start is the first (it now answers later ones with
    // the signals below, once the event loop runs) or cannot ask.
    bool handOver(const QStringList &paths);

    // The program's arguments as absolute paths, resolved against this
    // process's working directory: a later start's relative names mean
    // where its caller stood, not where the first window was started.
    static QStringList absolutePaths(const QStringList &arguments);

signals:
    void openRequested(const QStringList &paths);
    void activateRequested();

private:
    QDBusConnection bus_;
    bool claimed_ = false;
};

// org.freedesktop.Application, as a desktop (or a later start) calls it.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationAdaptor(SingleInstance *instance);

public slots:
    void Activate(const QVariantMap &platform_data);
    void Open(const QStringList &uris, const QVariantMap &platform_data);
    void ActivateAction(const QString &action_name, const QVariantList &parameter,
                        const QVariantMap &platform_data);

private:
    SingleInstance *instance_;
};
