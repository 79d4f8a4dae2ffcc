// The table of drivers, and what the drivers share (driver.h).
#include "output/driver.h"

#include "mix/kernels.h"

#include <dlfcn.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sona {

std::unique_ptr<Driver> make_pipewire_driver(const DriverContext &context);
std::unique_ptr<Driver> make_pulse_driver(const DriverContext &context);
std::unique_ptr<Driver> make_sdl_driver(const DriverContext &context);

/* PipeWire's own API where a PipeWire server answers, else libpulse (for
   PulseAudio, or PipeWire's pipewire-pulse), else SDL, which would settle
   for the hardware behind a server's back. */
const DriverEntry kDrivers[3] = {
    {"pipewire", nullptr, make_pipewire_driver, false},
    {"pulse", "pulseaudio", make_pulse_driver, false},
    {"sdl", nullptr, make_sdl_driver, true},
};

const DriverEntry *driver_named(const char *name)
{
    const auto is = [name](const char *known) { return known && ::strcasecmp(name, known) == 0; };
    for (const DriverEntry &entry : kDrivers)
        if (is(entry.name) || is(entry.synonym))
            return &entry;
    return nullptr;
}

std::string program_name()
{
    std::string name;
    if (FILE *f = std::fopen("/proc/self/comm", "re")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f))
            name = buf;
        std::fclose(f);
    }
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    return name.empty() ? "libsona" : name;
}

uint32_t channels_for(int sink_channels)
{
    if (sink_channels <= 0)
        return kMixChannels;
    Fold fold;
    uint32_t n = std::min<uint32_t>(uint32_t(sink_channels), kMixChannels);
    while (n > 1 && !fold_for_channels(n, &fold))
        --n;
    return n;
}

void wait_for_wake(int wake_fd, Milliseconds timeout)
{
    pollfd readable{wake_fd, POLLIN, 0};
    if (::poll(&readable, 1, timeout_count<Milliseconds>(timeout)) > 0)
        drain_wake(wake_fd);
}

void drain_wake(int wake_fd)
{
    uint64_t count;
    (void)!::read(wake_fd, &count, sizeof count);
}

bool load_calls(const char *soname, const char *prefix, const char *const *names, size_t count,
                void *calls, size_t calls_size)
{
    if (calls_size != count * sizeof(void (*)()))
        return false;
    void *lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    bool complete = lib != nullptr;
    for (size_t i = 0; complete && i < count; ++i) {
        void *call = dlsym(lib, (std::string(prefix) + names[i]).c_str());
        complete = call != nullptr;
        std::memcpy(static_cast<char *>(calls) + i * sizeof call, &call, sizeof call);
    }
    if (!complete)
        dlerror(); /* ours to clear: a host reading dlerror() would take it for its own */
    return complete;
}

} // namespace sona
