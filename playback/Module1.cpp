#include "Module1.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <vector>

namespace Module1 {

modSona::StreamHandle CurrentStream = 0;
std::int32_t SpeakerFlags = 0;
std::int32_t StartError = 0;
std::int32_t CreateError = 0;

namespace {
constexpr std::int32_t OutputDevice = 1;
constexpr std::uint32_t OutputRateHz = 44100;
constexpr std::int32_t OwnRate = 0;
constexpr std::int32_t CentredPan = 64;
constexpr std::int16_t CentreX = 400;
constexpr std::int16_t CentreY = 300;
constexpr std::int64_t UsPerSecond = 1'000'000;

// What PlayFile was given, for the title when the file has none, and the
// streams it replaced while they played on: they may still be heard.
QString CurrentPath;
std::vector<modSona::StreamHandle> Replaced;
// StopStream put CurrentStream back to its start: the library has it
// paused, the user was told it stopped.
bool RestingAtStart = false;

// The tags of one stream, read once: a file's tags do not change.  0 until
// asked for the stream PlayFile made last.
modSona::StreamHandle TaggedStream = 0;
QString Title, Artist, Album;

std::int64_t toUs(std::int64_t frames)
{
    return frames * UsPerSecond / OutputRateHz;
}

bool audible(std::int32_t state)
{
    return state == modSona::StatePlaying || state == modSona::StateWaiting;
}

QString tag(const char *key)
{
    char small[256];
    const std::int32_t length = modSona::SONA_ChannelGetTag(CurrentStream, key, small, sizeof small);
    if (length < 0)
        return {};
    if (length < static_cast<std::int32_t>(sizeof small))
        return QString::fromUtf8(small, length);
    QByteArray whole(length + 1, '\0');
    modSona::SONA_ChannelGetTag(CurrentStream, key, whole.data(), static_cast<std::uint32_t>(whole.size()));
    whole.chop(1);
    return QString::fromUtf8(whole);
}

void readTags()
{
    if (TaggedStream == CurrentStream)
        return;
    TaggedStream = CurrentStream;
    Title = tag("title");
    Artist = tag("artist");
    Album = tag("album");
}

} // namespace

bool StartOutput()
{
    const bool started = modSona::SONA_Init(OutputDevice, OutputRateHz, 0, 0, nullptr) != 0;
    StartError = started ? 0 : modSona::SONA_ErrorGetCode();
    return started;
}

void PlayFile(const QString &path)
{
    // The library takes the path as the file system's bytes.
    const QByteArray bytes = QFile::encodeName(path);
    if (CurrentStream != 0)
        Replaced.push_back(CurrentStream);
    CurrentPath = path;
    RestingAtStart = false;
    TaggedStream = 0;
    CurrentStream = modSona::SONA_StreamCreateFile(0, bytes.constData(), 0, 0, 0);
    CreateError = CurrentStream ? 0 : modSona::SONA_ErrorGetCode();
    modSona::SONA_ChannelPlay(CurrentStream, 0);
}

void RouteSpeakers(std::int16_t x, std::int16_t y)
{
    if (x < CentreX && y < CentreY)
        SpeakerFlags = SpeakerRearLeft;
    else if (x < CentreX && y > CentreY)
        SpeakerFlags = SpeakerFrontLeft;
    else if (x > CentreX && y < CentreY)
        SpeakerFlags = SpeakerRearRight;
    else if (x > CentreX && y > CentreY)
        SpeakerFlags = SpeakerFrontRight;
    else if (x == CentreX && y == CentreY)
        SpeakerFlags = SpeakerCentre;
    modSona::SONA_ChannelSetFlags(CurrentStream, static_cast<std::uint32_t>(SpeakerFlags));
}

void SetVolume(std::int32_t volume)
{
    modSona::SONA_ChannelSetAttributes(CurrentStream, OwnRate, volume, CentredPan);
}

NowPlaying WhatPlays()
{
    NowPlaying now;
    const std::int32_t state = CurrentStream ? modSona::SONA_ChannelGetState(CurrentStream) : -1;
    if (state < 0)
        return now;
    now.live = true;
    if (audible(state))
        now.status = Status::Playing;
    else if (state == modSona::StatePaused && !RestingAtStart)
        now.status = Status::Paused;
    now.positionUs = toUs(std::max<std::int64_t>(0, modSona::SONA_ChannelGetPosition(CurrentStream)));
    const std::int64_t length = modSona::SONA_ChannelGetLength(CurrentStream);
    now.lengthUs = length < 0 ? -1 : toUs(length);
    readTags();
    now.path = CurrentPath;
    now.title = Title.isEmpty() ? QFileInfo(CurrentPath).fileName() : Title;
    now.artist = Artist;
    now.album = Album;
    return now;
}

bool SomethingAudible()
{
    // A replaced stream is out of reach: once it is not heard it never is again.
    std::erase_if(Replaced, [](modSona::StreamHandle h) { return !audible(modSona::SONA_ChannelGetState(h)); });
    return !Replaced.empty() || (CurrentStream && audible(modSona::SONA_ChannelGetState(CurrentStream)));
}

void PauseStream()
{
    modSona::SONA_ChannelPause(CurrentStream);
}

void ResumeStream()
{
    RestingAtStart = false;
    modSona::SONA_ChannelPlay(CurrentStream, 0);
}

void PauseOrResume()
{
    const std::int32_t state = CurrentStream ? modSona::SONA_ChannelGetState(CurrentStream) : -1;
    if (audible(state))
        PauseStream();
    else if (state >= 0)
        ResumeStream();
}

void StopStream()
{
    modSona::SONA_ChannelPause(CurrentStream);
    modSona::SONA_ChannelSetPosition(CurrentStream, 0);
    RestingAtStart = true;
}

bool SeekStream(std::int64_t us)
{
    const std::int64_t frame = us * OutputRateHz / UsPerSecond;
    const bool moved = modSona::SONA_ChannelSetPosition(CurrentStream, frame) != 0;
    // Elsewhere than the start, a stopped stream is a paused one.
    RestingAtStart = RestingAtStart && (!moved || frame == 0);
    return moved;
}

} // namespace Module1
