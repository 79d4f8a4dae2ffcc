// Playback control: the program's decisions about sound.  Free routines over
// two module-level variables, called only from the UI thread.
#pragma once

#include "modSona.h"

#include <cstdint>

class QString;

namespace Module1 {

// Handle of the most recently created stream, whatever creation returned
// (0 when it failed).  Written only by PlayFile.
extern modSona::StreamHandle CurrentStream;

// The speaker word last chosen by RouteSpeakers; a point on a dividing line
// chooses none and leaves it as it was.
extern std::int32_t SpeakerFlags;

// The library's error code for the last PlayFile whose creation failed, 0
// after one that succeeded.  Read at once, because the play call that follows
// on handle 0 replaces the library's last error with its own.
extern std::int32_t CreateError;

// The library's speaker words, as the signed numbers SpeakerFlags holds.
inline constexpr std::int32_t SpeakerFrontLeft = SONA_SPEAKER_FRONTLEFT;
inline constexpr std::int32_t SpeakerFrontRight = SONA_SPEAKER_FRONTRIGHT;
inline constexpr std::int32_t SpeakerRearLeft = SONA_SPEAKER_REARLEFT;
inline constexpr std::int32_t SpeakerRearRight = SONA_SPEAKER_REARRIGHT;
inline constexpr std::int32_t SpeakerCentre = SONA_SPEAKER_CENTER;

// Opens the audio output: default device, 44100 Hz.
void StartOutput();

// Creates a stream from the file and starts it.  The stream played before
// goes on playing, out of reach of volume and routing.
void PlayFile(const QString &path);

// Sends CurrentStream to the speaker chosen by where (x, y) lies from the
// centre (400, 300): smaller x is left, smaller y is rear.
void RouteSpeakers(std::int16_t x, std::int16_t y);

// Sets the volume (0..100 from the slider) of CurrentStream, balance centred.
void SetVolume(std::int32_t volume);

} // namespace Module1
