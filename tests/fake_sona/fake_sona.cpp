// A recording stand-in for libsona: it exports the same entry points, logs
// every call with its arguments, and fails on request, so a test sees the
// exact calls the program makes through its real binding.  Its entries are
// defined against sona.h's declarations, so one whose signature drifts from
// the header is a compile error.
#include "sona.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

std::string log;
std::map<std::string, int32_t> failNext;
uint32_t nextHandle = 1;
int32_t lastError = 0;

void record(const char *format, ...) __attribute__((format(printf, 1, 2)));
void record(const char *format, ...)
{
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log += line;
    log += '\n';
}

// True (and the error set) when the test asked this entry to fail once.
bool failsNow(const char *entry)
{
    auto it = failNext.find(entry);
    if (it == failNext.end()) {
        lastError = 0;
        return false;
    }
    lastError = it->second;
    failNext.erase(it);
    return true;
}

std::string quoted(const void *file)
{
    if (!file)
        return "null";
    std::string out = "\"";
    for (auto *p = static_cast<const unsigned char *>(file); *p; ++p) {
        if (*p < 0x20 || *p >= 0x7f || *p == '"' || *p == '\\') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", *p);
            out += escape;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out + "\"";
}

} // namespace

FAKE_API SONA_BOOL SONA_Init(int32_t device, uint32_t freq, uint32_t flags, uint32_t win,
                             const void *clsid)
{
    record("SONA_Init(%d, %u, %u, %u, %s)", device, freq, flags, win, clsid ? "ptr" : "null");
    return failsNow("SONA_Init") ? 0 : 1;
}

FAKE_API SONA_HSTREAM SONA_StreamCreateFile(SONA_BOOL mem, const void *file, uint32_t offset,
                                            uint32_t length, uint32_t flags)
{
    const SONA_HSTREAM handle = failsNow("SONA_StreamCreateFile") ? 0 : nextHandle++;
    record("SONA_StreamCreateFile(%d, %s, %u, %u, %u) -> %u", mem, quoted(file).c_str(), offset,
           length, flags, handle);
    return handle;
}

#ifndef FAKE_SONA_WITHOUT_CHANNELPLAY
FAKE_API SONA_BOOL SONA_ChannelPlay(uint32_t handle, SONA_BOOL restart)
{
    record("SONA_ChannelPlay(%u, %d)", handle, restart);
    return failsNow("SONA_ChannelPlay") ? 0 : 1;
}
#endif

FAKE_API SONA_BOOL SONA_ChannelSetFlags(uint32_t handle, uint32_t flags)
{
    record("SONA_ChannelSetFlags(%u, 0x%08x)", handle, flags);
    return failsNow("SONA_ChannelSetFlags") ? 0 : 1;
}

FAKE_API SONA_BOOL SONA_ChannelSetAttributes(uint32_t handle, int32_t freq, int32_t volume,
                                             int32_t pan)
{
    record("SONA_ChannelSetAttributes(%u, %d, %d, %d)", handle, freq, volume, pan);
    return failsNow("SONA_ChannelSetAttributes") ? 0 : 1;
}

FAKE_API SONA_BOOL SONA_Free(void)
{
    record("SONA_Free()");
    return failsNow("SONA_Free") ? 0 : 1;
}

// Not logged: it changes nothing, and the window asks it only after a
// failure, which the tests check by the message it leads to.
FAKE_API int32_t SONA_ErrorGetCode(void)
{
    return lastError;
}

FAKE_API const char *FakeSona_Log(void)
{
    return log.c_str();
}

FAKE_API void FakeSona_Reset(void)
{
    log.clear();
    failNext.clear();
    nextHandle = 1;
    lastError = 0;
}

FAKE_API void FakeSona_FailNext(const char *entry, int32_t error)
{
    failNext[entry] = error;
}
