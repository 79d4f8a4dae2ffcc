#include "Mpris.h"

#include "Form1.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {

const QString ObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString ServiceName = QStringLiteral("org.mpris.MediaPlayer2.quadrant");
const QString PlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString NoTrack = QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");
// Each stream is a track of its own, named by its handle, which the
// library never gives twice.
const QString TrackPrefix = QStringLiteral("/org/quadrant/Quadrant/Track/");
constexpr double VolumeScale = 100.0;

// MPRIS's name for a second player of the same program on one bus.
QString instanceName()
{
    return ServiceName + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
}

QString statusName(Module1::Status status)
{
    switch (status) {
    case Module1::Status::Playing:
        return QStringLiteral("Playing");
    case Module1::Status::Paused:
        return QStringLiteral("Paused");
    case Module1::Status::Stopped:
        break;
    }
    return QStringLiteral("Stopped");
}

} // namespace

Mpris::Mpris(Form1 *form, QDBusConnection bus, QObject *parent)
    : QObject(parent), form_(form), bus_(std::move(bus))
{
    new MprisRoot(this);
    player_ = new MprisPlayer(this);
    now_ = form_->nowPlaying();
    told_ = playerProperties();
    if (!bus_.isConnected())
        return;
    // The object first, so that whoever sees the name finds it there.  A
    // name already taken (a Quadrant on the same bus that is not ours to
    // hand over to) gets an instance of its own, as MPRIS provides.
    bus_.registerObject(ObjectPath, this);
    if (!bus_.registerService(ServiceName))
        bus_.registerService(instanceName());
}

Mpris::~Mpris()
{
    // The player goes with its window, at once, not when the process ends.
    if (bus_.isConnected()) {
        bus_.unregisterService(ServiceName);
        bus_.unregisterService(instanceName());
    }
}

QString Mpris::trackPath() const
{
    return now_.live ? TrackPrefix + QString::number(Module1::CurrentStream) : NoTrack;
}

QVariantMap Mpris::playerProperties() const
{
    return {
        {QStringLiteral("PlaybackStatus"), player_->playbackStatus()},
        {QStringLiteral("Rate"), player_->rate()},
        {QStringLiteral("Metadata"), player_->metadata()},
        {QStringLiteral("Volume"), player_->volume()},
        {QStringLiteral("MinimumRate"), player_->rate()},
        {QStringLiteral("MaximumRate"), player_->rate()},
        {QStringLiteral("CanGoNext"), player_->no()},
        {QStringLiteral("CanGoPrevious"), player_->no()},
        {QStringLiteral("CanPlay"), player_->live()},
        {QStringLiteral("CanPause"), player_->live()},
        {QStringLiteral("CanSeek"), player_->live()},
        {QStringLiteral("CanControl"), player_->yes()},
    };
}

void Mpris::follow(const Module1::NowPlaying &now)
{
    now_ = now;
    announce();
}

void Mpris::announce()
{
    const QVariantMap now = playerProperties();
    QVariantMap changed;
    for (auto it = now.begin(); it != now.end(); ++it)
        if (told_.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    told_ = now;
    if (changed.isEmpty() || !bus_.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(ObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << PlayerInterface << changed << QStringList();
    bus_.send(signal);
}

void Mpris::seeked(std::int64_t us)
{
    emit player_->Seeked(us);
}

MprisRoot::MprisRoot(Mpris *mpris) : QDBusAbstractAdaptor(mpris), mpris_(mpris) {}

QString MprisRoot::identity() const
{
    return QStringLiteral("Quadrant");
}

QString MprisRoot::desktopEntry() const
{
    return QStringLiteral(QUADRANT_APP_ID);
}

QStringList MprisRoot::supportedUriSchemes() const
{
    // The library opens paths only.
    return {QStringLiteral("file")};
}

QStringList MprisRoot::supportedMimeTypes() const
{
    return QStringLiteral(QUADRANT_MIME_TYPES).split(u',');
}

void MprisRoot::Raise()
{
    mpris_->form()->bringToFront();
}

void MprisRoot::Quit()
{
    mpris_->form()->close();
}

MprisPlayer::MprisPlayer(Mpris *mpris) : QDBusAbstractAdaptor(mpris), mpris_(mpris) {}

QString MprisPlayer::playbackStatus() const
{
    return statusName(mpris_->now().status);
}

QVariantMap MprisPlayer::metadata() const
{
    const Module1::NowPlaying &now = mpris_->now();
    QVariantMap data{{QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(mpris_->trackPath()))}};
    if (!now.live)
        return data;
    if (now.lengthUs >= 0)
        data.insert(QStringLiteral("mpris:length"), qlonglong(now.lengthUs));
    data.insert(QStringLiteral("xesam:title"), now.title);
    if (!now.artist.isEmpty())
        data.insert(QStringLiteral("xesam:artist"), QStringList{now.artist});
    if (!now.album.isEmpty())
        data.insert(QStringLiteral("xesam:album"), now.album);
    data.insert(QStringLiteral("xesam:url"), QUrl::fromLocalFile(now.path).toString(QUrl::FullyEncoded));
    return data;
}

double MprisPlayer::volume() const
{
    return mpris_->form()->volume() / VolumeScale;
}

void MprisPlayer::setVolume(double volume)
{
    if (std::isnan(volume))
        return;
    mpris_->form()->setVolume(int(std::lround(std::clamp(volume, 0.0, 1.0) * VolumeScale)));
}

qlonglong MprisPlayer::position() const
{
    return live() ? mpris_->form()->heardUs() : 0;
}

bool MprisPlayer::live() const
{
    return mpris_->now().live;
}

void MprisPlayer::Pause()
{
    if (mpris_->now().status == Module1::Status::Playing)
        mpris_->form()->pauseStream();
}

void MprisPlayer::PlayPause()
{
    if (mpris_->now().status == Module1::Status::Playing)
        Pause();
    else
        Play();
}

void MprisPlayer::Stop()
{
    if (live())
        mpris_->form()->stopStream();
}

void MprisPlayer::Play()
{
    // The current stream again, never the file chooser: a desktop's Play
    // comes with nobody at the window to choose.
    if (live() && mpris_->now().status != Module1::Status::Playing)
        mpris_->form()->resumeStream();
}

void MprisPlayer::Seek(qlonglong Offset)
{
    if (!live())
        return;
    const Module1::NowPlaying &now = mpris_->now();
    // Past the end there is no next track to go to: the stream ends there.
    std::int64_t to = std::max<std::int64_t>(0, mpris_->form()->heardUs() + Offset);
    if (now.lengthUs >= 0)
        to = std::min(to, now.lengthUs);
    if (mpris_->form()->seekStream(to))
        mpris_->seeked(to);
}

void MprisPlayer::SetPosition(const QDBusObjectPath &TrackId, qlonglong Position)
{
    // A request about a track that has since been replaced is stale.
    if (!live() || TrackId.path() != mpris_->trackPath() || Position < 0)
        return;
    if (mpris_->form()->seekStream(Position))
        mpris_->seeked(Position);
}

void MprisPlayer::OpenUri(const QString &Uri)
{
    const QUrl url(Uri);
    if (!url.isLocalFile())
        return;
    // After the reply: a file that cannot be played is explained in a
    // message box, and the caller is not to wait on the user reading it.
    QMetaObject::invokeMethod(
        mpris_->form(), [form = mpris_->form(), path = url.toLocalFile()] { form->openFiles({path}); },
        Qt::QueuedConnection);
}
