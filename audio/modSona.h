// The program's binding to libsona.  Each entry is resolved by name on its
// first call (the library itself is loaded by the first call of any entry)
// and called straight through its stored address after that, so a program
// that never touches sound never loads the library.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace modSona {

using StreamHandle = std::uint32_t; // 0 names no stream
using SonaBool = std::int32_t;      // 0 is false

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
    X(SONA_ErrorGetCode, std::int32_t, (), ())

#define MODSONA_DECLARE(name, result, params, args) result name params;
MODSONA_ENTRIES(MODSONA_DECLARE)
#undef MODSONA_DECLARE

// Error codes of SONA_ErrorGetCode that the program tells apart.
enum ErrorCode : std::int32_t {
    ErrorOk = 0,
    ErrorInit = 1,
    ErrorAlready = 2,
    ErrorDevice = 3,
    ErrorHandle = 4,
    ErrorFileOpen = 5,
    ErrorFormat = 6,
    ErrorParam = 7,
    ErrorMemory = 8,
    ErrorUnknown = 9,
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
