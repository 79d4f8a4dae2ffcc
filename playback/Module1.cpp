#include "Module1.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace Module1 {

modSona::StreamHandle CurrentStream = 0;
std::int32_t SpeakerFlags = 0;
std::int32_t CreateError = 0;

namespace {
constexpr std::int32_t OutputDevice = 1;
constexpr std::uint32_t OutputRateHz = 44100;
constexpr std::int32_t OwnRate = 0;
constexpr std::int32_t CentredPan = 64;
constexpr std::int16_t CentreX = 400;
constexpr std::int16_t CentreY = 300;
} // namespace

void StartOutput()
{
    modSona::SONA_Init(OutputDevice, OutputRateHz, 0, 0, nullptr);
}

void PlayFile(const QString &path)
{
    // The library takes the path as the file system's bytes.
    const QByteArray bytes = QFile::encodeName(path);
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

} // namespace Module1
