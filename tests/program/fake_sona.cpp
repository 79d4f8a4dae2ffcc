// A recording stand-in for libsona: the same entry points, each declared by
// sona.h itself so that a drifted signature does not compile, logging every
// call that changes something with its arguments and failing on request.
// A test sees the exact calls the program makes through its real binding.
// Streams keep a state, position, length and tags of the test's choosing,
// and events reach the program through a real eventfd.
#define SONA_BUILDING_LIBRARY
#include "fake_sona.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <utility>

namespace {

struct Stream {
    int32_t state = SONA_STATE_STOPPED;
    int64_t position = 0;
    int64_t length = -1;
    bool ended = false; /* played to its end: Play starts it again */
    std::map<std::string, std::string> tags;
};

std::string log;
std::map<std::string, int32_t> failures;
uint32_t next_handle = 1;
int32_t last_error = SONA_OK;
std::map<SONA_HSTREAM, Stream> streams;
bool freed = false; /* SONA_Free ran, or SONA_Init failed: nothing lives until SONA_Init */
std::deque<std::pair<SONA_HSTREAM, int32_t>> events;
int event_fd = -1;  /* readable while `events` holds any */

/* The stream the handle names while the library lives, else null with the
   library's error. */
Stream *live(SONA_HSTREAM handle)
{
    const auto it = streams.find(handle);
    last_error = freed ? SONA_ERROR_INIT : it == streams.end() ? SONA_ERROR_HANDLE : SONA_OK;
    return last_error == SONA_OK ? &it->second : nullptr;
}

/* FAKE_SONA_SHOW="title;length_s;position_s" gives every new stream what a
   picture of the window should show, for scripts/screenshot.sh. */
void shown(Stream &s)
{
    const char *show = std::getenv("FAKE_SONA_SHOW");
    char title[256];
    long long length_s, position_s;
    if (show && std::sscanf(show, "%255[^;];%lld;%lld", title, &length_s, &position_s) == 3) {
        s.tags["title"] = title;
        s.length = length_s * 44100;
        s.position = position_s * 44100;
    }
}

void clear_event_fd()
{
    uint64_t count;
    if (event_fd >= 0 && read(event_fd, &count, sizeof count) < 0) { /* nothing was waiting */
    }
}

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
    const bool ok = call("SONA_Init", "%d, %u, %u, %u, %s", device, freq, flags, win, clsid ? "ptr" : "null");
    freed = !ok;
    return ok;
}

SONA_HSTREAM SONA_StreamCreateFile(SONA_BOOL mem, const void *file, uint32_t offset, uint32_t length,
                                   uint32_t flags)
{
    bool ok = call("SONA_StreamCreateFile", "%d, \"%s\", %u, %u, %u", mem,
                   file ? static_cast<const char *>(file) : "(null)", offset, length, flags);
    if (ok && freed) {
        last_error = SONA_ERROR_INIT;
        ok = false;
    }
    log.insert(log.size() - 1, std::string(" -> ") + (ok ? std::to_string(next_handle) : "0"));
    if (!ok)
        return 0;
    Stream &made = streams.try_emplace(next_handle).first->second; /* keeps what a test set ahead */
    shown(made);
    return next_handle++;
}

#ifndef FAKE_SONA_WITHOUT_CHANNELPLAY
SONA_BOOL SONA_ChannelPlay(uint32_t handle, SONA_BOOL restart)
{
    if (!call("SONA_ChannelPlay", "%u, %d", handle, restart))
        return SONA_FALSE;
    Stream *s = live(handle);
    if (!s)
        return SONA_FALSE;
    if (restart || s->ended)
        s->position = 0;
    s->ended = false;
    s->state = SONA_STATE_PLAYING;
    return SONA_TRUE;
}
#endif

SONA_BOOL SONA_ChannelPause(SONA_HSTREAM handle)
{
    if (!call("SONA_ChannelPause", "%u", handle))
        return SONA_FALSE;
    Stream *s = live(handle);
    if (s && (s->state == SONA_STATE_PLAYING || s->state == SONA_STATE_WAITING))
        s->state = SONA_STATE_PAUSED;
    return s != nullptr;
}

SONA_BOOL SONA_ChannelSetPosition(SONA_HSTREAM handle, int64_t frame)
{
    if (!call("SONA_ChannelSetPosition", "%u, %lld", handle, static_cast<long long>(frame)))
        return SONA_FALSE;
    Stream *s = live(handle);
    if (!s)
        return SONA_FALSE;
    if (frame < 0 || (s->length >= 0 && frame > s->length)) {
        last_error = SONA_ERROR_PARAM;
        return SONA_FALSE;
    }
    s->position = frame;
    return SONA_TRUE;
}

int32_t SONA_ChannelGetState(SONA_HSTREAM handle)
{
    return live(handle) ? streams[handle].state : -1;
}

int64_t SONA_ChannelGetPosition(SONA_HSTREAM handle)
{
    return live(handle) ? streams[handle].position : -1;
}

int64_t SONA_ChannelGetLength(SONA_HSTREAM handle)
{
    return live(handle) ? streams[handle].length : -1;
}

int32_t SONA_ChannelGetTag(SONA_HSTREAM handle, const char *key, char *buf, uint32_t size)
{
    const Stream *s = live(handle);
    if (!s)
        return -1;
    if (!key || (!buf && size > 0)) {
        last_error = SONA_ERROR_PARAM;
        return -1;
    }
    const auto it = s->tags.find(key);
    if (it == s->tags.end())
        return -1;
    if (size > 0)
        std::snprintf(buf, size, "%s", it->second.c_str());
    return static_cast<int32_t>(it->second.size());
}

int32_t SONA_EventFd(void)
{
    if (freed) {
        last_error = SONA_ERROR_INIT;
        return -1;
    }
    if (event_fd < 0)
        event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    last_error = SONA_OK;
    return event_fd;
}

SONA_BOOL SONA_EventNext(SONA_HSTREAM *handle, int32_t *state)
{
    last_error = freed ? SONA_ERROR_INIT : SONA_OK;
    if (freed || events.empty()) {
        clear_event_fd();
        return SONA_FALSE;
    }
    if (handle)
        *handle = events.front().first;
    if (state)
        *state = events.front().second;
    events.pop_front();
    if (events.empty())
        clear_event_fd();
    return SONA_TRUE;
}

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
    const bool ok = call("SONA_Free", "%s", "");
    if (ok) {
        /* Its descriptor goes with the library, as libsona's does. */
        freed = true;
        events.clear();
        if (event_fd >= 0)
            close(event_fd);
        event_fd = -1;
    }
    return ok;
}

/* Not logged: it changes nothing, and the window asks it only after a
   failure, which the tests judge by the message it leads to. */
int32_t SONA_ErrorGetCode(void)
{
    return last_error;
}

const char *SONA_ErrorGetText(int32_t code)
{
    return code == SONA_OK ? "no error" : "an error of the fake";
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
    streams.clear();
    freed = false;
    events.clear();
    clear_event_fd();
}

void FakeSona_FailNext(const char *entry, int32_t error)
{
    failures[entry] = error;
}

void FakeSona_SetLength(SONA_HSTREAM handle, int64_t frames)
{
    streams[handle].length = frames;
}

void FakeSona_SetTag(SONA_HSTREAM handle, const char *key, const char *value)
{
    streams[handle].tags[key] = value;
}

void FakeSona_SetPosition(SONA_HSTREAM handle, int64_t frame)
{
    streams[handle].position = frame;
}

void FakeSona_PushEvent(SONA_HSTREAM handle, int32_t state)
{
    if (handle != 0) {
        Stream &s = streams[handle];
        s.state = state;
        s.ended = state == SONA_STATE_STOPPED;
        if (s.ended && s.length >= 0)
            s.position = s.length;
    }
    events.emplace_back(handle, state);
    const uint64_t one = 1;
    if (SONA_EventFd() < 0 || write(event_fd, &one, sizeof one) != sizeof one)
        std::perror("fake libsona: the event descriptor");
}

} // extern "C"
