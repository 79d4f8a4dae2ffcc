// The recording fake as the program tests reach it, and the lines of its
// log that each test expects.
#pragma once

#include "fake_sona.h"
#include "modSona.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

/* The fake is reached by name, as the binding reaches libsona: linked to
   the tests, it would keep them from starting where the library is missing. */
inline void *fake(const char *entry)
{
    static void *const library = dlopen(modSona::LibraryFile, RTLD_NOW);
    void *found = library ? dlsym(library, entry) : nullptr;
    return found ? found : throw std::runtime_error(std::string("the fake has no ") + entry);
}
#define FAKE(entry) reinterpret_cast<decltype(&entry)>(fake(#entry))

inline std::string calls()
{
    return FAKE(FakeSona_Log)();
}

inline std::string flags(uint32_t handle, const char *word)
{
    return "SONA_ChannelSetFlags(" + std::to_string(handle) + ", " + word + ")\n";
}

inline std::string volume(uint32_t handle, int value)
{
    return "SONA_ChannelSetAttributes(" + std::to_string(handle) + ", 0, " + std::to_string(value) + ", 64)\n";
}

inline std::string played(const std::string &path, uint32_t handle)
{
    return "SONA_StreamCreateFile(0, \"" + path + "\", 0, 0, 0) -> " + std::to_string(handle) +
           "\nSONA_ChannelPlay(" + std::to_string(handle) + ", 0)\n";
}

inline std::string resumed(uint32_t handle)
{
    return "SONA_ChannelPlay(" + std::to_string(handle) + ", 0)\n";
}

inline std::string paused(uint32_t handle)
{
    return "SONA_ChannelPause(" + std::to_string(handle) + ")\n";
}

inline std::string moved(uint32_t handle, long long frame)
{
    return "SONA_ChannelSetPosition(" + std::to_string(handle) + ", " + std::to_string(frame) + ")\n";
}
