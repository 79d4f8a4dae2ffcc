// The desktop's player controls (MPRIS 2): media keys, the panel's
// now-playing box and playerctl reach the window's current stream through
// this object, as org.mpris.MediaPlayer2.quadrant on the session bus.
// It acts only through Form1's player slots, so every call into the
// library stays behind the window's guard; Stop here is the player's stop
// (paused at the start), never the window's, which releases the output.
#pragma once

#include "Module1.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

class Form1;

class Mpris : public QObject {
    Q_OBJECT

public:
    // Registers on `bus` when it is connected, else stays silent.
    Mpris(Form1 *form, QDBusConnection bus, QObject *parent = nullptr);
    ~Mpris() override;

    Form1 *form() const { return form_; }
    const Module1::NowPlaying &now() const { return now_; }
    // The player interface's properties as the bus gives them, Position
    // aside (it is asked of the library when asked for, and never sent).
    QVariantMap playerProperties() const;
    QString trackPath() const;
    // Sends Seeked with the place the stream was moved to.
    void seeked(std::int64_t us);

public slots:
    // Takes the state of the current stream and sends PropertiesChanged
    // with whatever differs from what the bus was told last.
    void follow(const Module1::NowPlaying &now);
    void announce();

private:
    Form1 *form_;
    QDBusConnection bus_;
    class MprisPlayer *player_;
    Module1::NowPlaying now_;
    QVariantMap told_;
};

// org.mpris.MediaPlayer2: who the player is.
class MprisRoot : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)

public:
    explicit MprisRoot(Mpris *mpris);

    bool canQuit() const { return true; }
    bool canRaise() const { return true; }
    bool hasTrackList() const { return false; }
    QString identity() const;
    QString desktopEntry() const;
    QStringList supportedUriSchemes() const;
    QStringList supportedMimeTypes() const;

public slots:
    void Raise();
    void Quit();

private:
    Mpris *mpris_;
};

// org.mpris.MediaPlayer2.Player: the current stream.
class MprisPlayer : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(bool CanGoNext READ no)
    Q_PROPERTY(bool CanGoPrevious READ no)
    Q_PROPERTY(bool CanPlay READ live)
    Q_PROPERTY(bool CanPause READ live)
    Q_PROPERTY(bool CanSeek READ live)
    Q_PROPERTY(bool CanControl READ yes)

public:
    explicit MprisPlayer(Mpris *mpris);

    QString playbackStatus() const;
    double rate() const { return 1.0; }
    void setRate(double) {} // one rate: a request for another changes nothing
    QVariantMap metadata() const;
    double volume() const;
    void setVolume(double volume);
    qlonglong position() const;
    bool no() const { return false; }
    bool yes() const { return true; }
    bool live() const;

public slots:
    void Next() {}
    void Previous() {}
    void Pause();
    void PlayPause();
    void Stop();
    void Play();
    void Seek(qlonglong Offset);
    void SetPosition(const QDBusObjectPath &TrackId, qlonglong Position);
    void OpenUri(const QString &Uri);

signals:
    void Seeked(qlonglong Position);

private:
    Mpris *mpris_;
};
