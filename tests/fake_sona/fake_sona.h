// Control of the recording fake of libsona, for tests.  The test process
// reaches the fake through the same loader search as the binding, so both
// talk to one copy of it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <dlfcn.h>

extern "C" {
using FakeSonaLogFn = const char *(*)();
using FakeSonaResetFn = void (*)();
using FakeSonaFailNextFn = void (*)(const char *, int32_t);
}

namespace fake_sona {

inline void *handle()
{
    static void *library = [] {
        void *h = dlopen("libsona.so", RTLD_NOW | RTLD_LOCAL);
        if (!h || !dlsym(h, "FakeSona_Log"))
            throw std::runtime_error("the recording fake of libsona is not on LD_LIBRARY_PATH");
        return h;
    }();
    return library;
}

template <class Fn> Fn entry(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(handle(), name));
}

// Every call since the last reset, one line each, in order.
inline std::string calls()
{
    return entry<FakeSonaLogFn>("FakeSona_Log")();
}

inline void reset()
{
    entry<FakeSonaResetFn>("FakeSona_Reset")();
}

// The next call of that entry fails: FALSE (or handle 0), with this error.
inline void failNext(const char *entryName, int32_t error)
{
    entry<FakeSonaFailNextFn>("FakeSona_FailNext")(entryName, error);
}

} // namespace fake_sona
