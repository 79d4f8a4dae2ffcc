// Playback control: the program's decisions about sound.  Free routines over
// module-level variables, called only from the UI thread.
#pragma once

#include "modSona.h"

#include <QString>

#include <cstdint>

namespace Module1 {

// Handle of the most recently created stream, whatever creation returned
// (0 when it failed).  Written only by PlayFile.
extern modSona::StreamHandle CurrentStream;

// The speaker word last chosen by RouteSpeakers; a point on a dividing line
// chooses none and leaves it as it was.
extern std::int32_t SpeakerFlags;

// The library's error code for a StartOutput that failed, 0 after one that
// succeeded.
extern std::int32_t StartError;

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

// What the user is told of the current stream.  A stream that Stop put
// back to its start rests paused in the library but is Stopped here.
enum class Status { Stopped, Playing, Paused };

// The current stream as the window and the desktop show it.
struct NowPlaying {
    // CurrentStream names a stream the library still has: not 0, not
    // failed, not released by SONA_Free.  Nothing below holds otherwise.
    bool live = false;
    Status status = Status::Stopped;
    std::int64_t positionUs = 0; // what is heard now
    std::int64_t lengthUs = -1;  // -1 while not known
    QString path;                // as PlayFile was given it
    QString title;               // the file's tag, else the file's name
    QString artist, album;       // the tags, empty when the file has none

    bool operator==(const NowPlaying &) const = default;
};

// Opens the audio output: default device, 44100 Hz.  False, with
// StartError set, when the library could not start it: every later call
// is refused harmlessly and nothing plays until the program starts again.
bool StartOutput();

// Creates a stream from the file and starts it.  The stream played before
// goes on playing, out of reach of volume and routing.
void PlayFile(const QString &path);

// Sends CurrentStream to the speaker chosen by where (x, y) lies from the
// centre (400, 300): smaller x is left, smaller y is rear.
void RouteSpeakers(std::int16_t x, std::int16_t y);

// Sets the volume (0..100 from the slider) of CurrentStream, balance centred.
void SetVolume(std::int32_t volume);

// The current stream's state, place, length and tags, asked of the library
// (nothing is asked while there is no stream).
NowPlaying WhatPlays();

// True while any stream this program started may be heard: the current one
// or one it replaced that plays on.
bool SomethingAudible();

// Holds CurrentStream where it is; a stream that is not playing is left as
// it is.
void PauseStream();

// Plays CurrentStream on from where it rests: where it paused, the start
// after StopStream, or the start again once it has played to its end.
void ResumeStream();

// PauseStream while it plays, else ResumeStream; nothing without a live
// stream.  The Pause button's and the Space key's turn.
void PauseOrResume();

// Pauses CurrentStream and puts it back to its start, where it rests as
// Stopped.  The output stays open, unlike the window's Stop.
void StopStream();

// Moves CurrentStream to `us` microseconds from its start; false, with
// nothing changed, for a place before the start or past the end.
bool SeekStream(std::int64_t us);

} // namespace Module1
