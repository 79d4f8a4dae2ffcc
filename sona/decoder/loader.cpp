// libsona's decoder: the FFmpeg one in libsona-ffmpeg.so, loaded by the
// output's thread once it has connected, or when the first stream opens if
// that comes first, rather than with libsona, so that a program which
// opens its output before its window shows does not wait for FFmpeg's
// hundred-odd libraries to load.  The module is private: it is looked for
// in the directory SONA_DECODER_MODULE_SUBDIR under libsona's own (sona/,
// set by the build), never on a search path, where another
// libsona-ffmpeg.so could come from another build.
#include "decoder/module_abi.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

namespace sona {

namespace {

/* Once loaded, the module stays for the life of the process: decoders made
   by it may outlive any one engine, and unloading FFmpeg is never safe. */
std::atomic<const DecoderTable *> g_table{nullptr};
std::mutex g_load_mutex;

/* Where the module should be, resolved as libsona.so loads: a relative
   path in LD_LIBRARY_PATH would point elsewhere once the host changes its
   working directory.  Empty if libsona.so cannot tell where it is. */
std::string module_path()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&module_path), &info) || !info.dli_fname)
        return {};
    std::string self = info.dli_fname;
    if (char *real = realpath(info.dli_fname, nullptr)) {
        self = real;
        std::free(real);
    }
    // A bare name would send dlopen searching, which is what we avoid.
    const size_t slash = self.rfind('/');
    if (slash == std::string::npos)
        return {};
    return self.substr(0, slash + 1) + SONA_DECODER_MODULE_SUBDIR "/" SONA_DECODER_MODULE_FILE;
}
const std::string g_module_path = module_path();

/* The table, or null when the module cannot be loaded (missing, broken or
   from another build).  A failure is not remembered: the next stream tries
   again, so installing the module later helps without a restart. */
const DecoderTable *decoder_table()
{
    // Acquire pairs with the release below: whoever sees the table sees
    // the module fully loaded and initialised.
    if (const DecoderTable *t = g_table.load(std::memory_order_acquire))
        return t;
    // The API thread and the workers may both open decoders; one loads.
    std::lock_guard<std::mutex> lock(g_load_mutex);
    if (const DecoderTable *t = g_table.load(std::memory_order_acquire))
        return t;
    if (g_module_path.empty())
        return nullptr;
    void *module = dlopen(g_module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        dlerror(); /* ours to clear: a host reading dlerror() later would take it for its own */
        return nullptr;
    }
    using Entry = const DecoderTable *(*)();
    auto entry = reinterpret_cast<Entry>(dlsym(module, SONA_DECODER_TABLE_SYMBOL));
    const DecoderTable *t = entry ? entry() : nullptr;
    if (!t || t->version != kDecoderTableVersion || t->size != sizeof(DecoderTable)) {
        dlerror();
        dlclose(module);
        return nullptr;
    }
    g_table.store(t, std::memory_order_release);
    return t;
}

/* A decoder exists only once the table does, and reached the caller through
   some synchronisation after decoder_open stored it. */
const DecoderTable *loaded_table()
{
    return g_table.load(std::memory_order_acquire);
}

} // namespace

void DecoderDeleter::operator()(Decoder *d) const
{
    if (d)
        loaded_table()->close(d);
}

void decoder_preload()
{
    (void)decoder_table();
}

int32_t decoder_open(const DecoderSource &src, uint32_t out_rate, DecoderPtr *out)
{
    const DecoderTable *t = decoder_table();
    if (!t)
        return SONA_ERROR_UNKNOWN;
    Decoder *d = nullptr;
    const int32_t err = t->open(src, out_rate, &d);
    if (err == SONA_OK)
        out->reset(d);
    else if (d)
        t->close(d);
    return err;
}

uint32_t decoder_ring_slots(const Decoder *d)
{
    return loaded_table()->ring_slots(d);
}

void decoder_set_play_rate(Decoder *d, uint32_t play_rate_hz)
{
    loaded_table()->set_play_rate(d, play_rate_hz);
}

void decoder_info(const Decoder *d, DecoderInfo *info)
{
    loaded_table()->info(d, info);
}

int32_t decoder_tag(const Decoder *d, const char *key, char *buf, uint32_t size)
{
    return loaded_table()->tag(d, key, buf, size);
}

bool decoder_seek(Decoder *d, uint64_t frame)
{
    return loaded_table()->seek(d, frame);
}

DecodeResult decoder_fill(Decoder *d, Ring *ring)
{
    return loaded_table()->fill(d, ring);
}

} // namespace sona
