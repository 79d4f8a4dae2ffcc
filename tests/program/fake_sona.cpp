// A recording stand-in for libsona: the same entry points, each declared by
// sona.h itself so that a drifted signature does not compile, logging every
// call with its arguments and failing on request.  A test sees the exact
// calls the program makes through its real binding.
#define SONA_BUILDING_LIBRARY
#include "fake_sona.h"

#include <cstdio>
#include <map>
#include <string>

namespace {

std::string log;
std::map<std::string, int32_t> failures;
uint32_t next_handle = 1;
int32_t last_error = SONA_OK;

/* Logs the call; false, with the error set, when the test asked it to fail. */
template <class... Args> bool call(const char *entry, const char *format, Args... args)
{
    char line[4200];
    std::snprintf(line, sizeof line, format, args...);
    log += std::string(entry) + "(" + line + ")\n";
    const auto it = failures.find(entry);
    last_error = it == failures.end() ? SONA_OK : it->second;
    failures.erase(entry);
    return last_error == SONA_OK;
}

} // namespace

extern "C" {

SONA_BOOL SONA_Init(int32_t device, uint32_t freq, uint32_t flags, uint32_t win, const void *clsid)
{
    return call("SONA_Init", "%d, %u, %u, %u, %s", device, freq, flags, win, clsid ? "ptr" : "null");
}

SONA_HSTREAM SONA_StreamCreateFile(SONA_BOOL mem, const void *file, uint32_t offset, uint32_t length,
                                   uint32_t flags)
{
    const bool ok = call("SONA_StreamCreateFile", "%d, \"%s\", %u, %u, %u", mem,
                         file ? static_cast<const char *>(file) : "(null)", offset, length, flags);
    log.insert(log.size() - 1, std::string(" -> ") + (ok ? std::to_string(next_handle) : "0"));
    return ok ? next_handle++ : 0;
}

#ifndef FAKE_SONA_WITHOUT_CHANNELPLAY
SONA_BOOL SONA_ChannelPlay(uint32_t handle, SONA_BOOL restart)
{
    return call("SONA_ChannelPlay", "%u, %d", handle, restart);
}
#endif

SONA_BOOL SONA_ChannelSetFlags(uint32_t handle, uint32_t flags)
{
    return call("SONA_ChannelSetFlags", "%u, 0x%08x", handle, flags);
}

SONA_BOOL SONA_ChannelSetAttributes(uint32_t handle, int32_t freq, int32_t volume, int32_t pan)
{
    return call("SONA_ChannelSetAttributes", "%u, %d, %d, %d", handle, freq, volume, pan);
}

SONA_BOOL SONA_Free(void)
{
    return call("SONA_Free", "%s", "");
}

/* Not logged: it changes nothing, and the window asks it only after a
   failure, which the tests judge by the message it leads to. */
int32_t SONA_ErrorGetCode(void)
{
    return last_error;
}

const char *FakeSona_Log(void)
{
    return log.c_str();
}

void FakeSona_Reset(void)
{
    log.clear();
    failures.clear();
    next_handle = 1;
    last_error = SONA_OK;
}

void FakeSona_FailNext(const char *entry, int32_t error)
{
    failures[entry] = error;
}

} // extern "C"
