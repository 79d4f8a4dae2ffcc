// The recording fake as the program tests reach it, and the lines of its
// log that each test expects.
#pragma once

#include "Form1.h"
#include "fake_sona.h"
#include "modSona.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
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

/* The calls made since `*seen`, which moves on, less the ticks' volume:
   the test of the ticks judges that. */
inline std::string calls_since(size_t *seen)
{
    const std::string all = calls();
    std::string fresh;
    std::istringstream lines(all.substr(std::min(*seen, all.size())));
    *seen = all.size();
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("SONA_ChannelSetAttributes", 0) != 0)
            fresh += line + "\n";
    return fresh;
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

/* The window's seams for a test: warnings kept, and a critical message or
   an exit taken for a fault. */
inline Form1Seams strict_seams(QStringList *warnings, std::function<QString(QWidget *)> choose)
{
    return {std::move(choose), [warnings](QWidget *, const QString &text) { *warnings << text; },
            [](QWidget *, const QString &text) { ADD_FAILURE() << text.toStdString(); },
            [](int status) { ADD_FAILURE() << "exit " << status; }};
}
