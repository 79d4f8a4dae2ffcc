// The program's binding to libsona.  Each entry is resolved by name on its
// first call (the library itself is loaded by the first call of any entry)
// and called straight through its stored address after that, so a program
// that never touches sound never loads the library.  The library's own
// header gives the types and codes, and modSona.cpp checks every entry
// below against it, so a signature that drifts from sona.h fails to build.
#pragma once

#include "sona.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace modSona {

using StreamHandle = SONA_HSTREAM; // 0 names no stream
using SonaBool = SONA_BOOL;        // 0 is false

// The SONAME: the file a runtime package ships, and the ABI this binding
// was written for.
inline constexpr char LibraryFile[] = "libsona.so.1";

// The one list of entry points: name, result, parameters, arguments.
// Declarations here and resolution in modSona.cpp both expand from it.
#define MODSONA_ENTRIES(X)                                                                     \
    X(SONA_Init, SonaBool,                                                                     \
      (std::int32_t device, std::uint32_t freq, std::uint32_t flags, std::uint32_t win,       \
       const void *clsid),                                                                     \
      (device, freq, flags, win, clsid))                                                       \
    X(SONA_StreamCreateFile, StreamHandle,                                                     \
      (SonaBool mem, const void *file, std::uint32_t offset, std::uint32_t length,            \
       std::uint32_t flags),                                                                   \
      (mem, file, offset, length, flags))                                                      \
    X(SONA_ChannelPlay, SonaBool, (std::uint32_t handle, SonaBool restart), (handle, restart)) \
    X(SONA_ChannelSetFlags, SonaBool, (std::uint32_t handle, std::uint32_t flags),             \
      (handle, flags))                                                                         \
    X(SONA_ChannelSetAttributes, SonaBool,                                                     \
      (std::uint32_t handle, std::int32_t freq, std::int32_t volume, std::int32_t pan),       \
      (handle, freq, volume, pan))                                                             \
    X(SONA_Free, SonaBool, (), ())                                                             \
    X(SONA_ErrorGetCode, std::int32_t, (), ())                                                 \
    X(SONA_ErrorGetText, const char *, (std::int32_t code), (code))                            \
    X(SONA_ChannelPause, SonaBool, (StreamHandle handle), (handle))                            \
    X(SONA_ChannelGetState, std::int32_t, (StreamHandle handle), (handle))                     \
    X(SONA_ChannelGetPosition, std::int64_t, (StreamHandle handle), (handle))                  \
    X(SONA_ChannelGetLength, std::int64_t, (StreamHandle handle), (handle))                    \
    X(SONA_ChannelSetPosition, SonaBool, (StreamHandle handle, std::int64_t frame),            \
      (handle, frame))                                                                         \
    X(SONA_ChannelGetTag, std::int32_t,                                                        \
      (StreamHandle handle, const char *key, char *buf, std::uint32_t size),                  \
      (handle, key, buf, size))                                                                \
    X(SONA_EventFd, std::int32_t, (), ())                                                      \
    X(SONA_EventNext, SonaBool, (StreamHandle * handle, std::int32_t * state), (handle, state))

#define MODSONA_DECLARE(name, result, params, args) result name params;
MODSONA_ENTRIES(MODSONA_DECLARE)
#undef MODSONA_DECLARE

// Error codes of SONA_ErrorGetCode that the program tells apart.
enum ErrorCode : std::int32_t {
    ErrorOk = SONA_OK,
    ErrorInit = SONA_ERROR_INIT,
    ErrorAlready = SONA_ERROR_ALREADY,
    ErrorDevice = SONA_ERROR_DEVICE,
    ErrorHandle = SONA_ERROR_HANDLE,
    ErrorFileOpen = SONA_ERROR_FILEOPEN,
    ErrorFormat = SONA_ERROR_FORMAT,
    ErrorParam = SONA_ERROR_PARAM,
    ErrorMemory = SONA_ERROR_MEMORY,
    ErrorUnknown = SONA_ERROR_UNKNOWN,
};

// A stream's state, as SONA_ChannelGetState and SONA_EventNext give it;
// -1 is a handle the library does not know (0, stale, or after SONA_Free).
enum StreamState : std::int32_t {
    StateStopped = SONA_STATE_STOPPED,
    StatePlaying = SONA_STATE_PLAYING,
    StatePaused = SONA_STATE_PAUSED,
    StateWaiting = SONA_STATE_WAITING,
};

// Thrown by the first call of an entry when the library or the entry cannot
// be found; entry() is empty when the library itself failed to load.  The
// entry stays unresolved, so a later call tries again and fails the same way.
class LoadError : public std::runtime_error {
public:
    LoadError(std::string library, std::string entry, std::string reason);

    const std::string &library() const noexcept { return library_; }
    const std::string &entry() const noexcept { return entry_; }
    const std::string &reason() const noexcept { return reason_; }

private:
    std::string library_;
    std::string entry_;
    std::string reason_;
};

} // namespace modSona
