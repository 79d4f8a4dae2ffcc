// What one SONA_Init brings up and SONA_Free takes down, in order: the
// mixer first (everything else feeds or drains it), then the output that
// pulls from it, then the decode pool that fills its rings.  Teardown runs
// the other way round, so nothing the mixer reads is freed while it runs.
#include "engine.h"

#include <new>

namespace sona {

namespace {
constexpr unsigned kDecodeThreads = 2;
}

void engine_destroy(Engine *e)
{
    if (e->pool)
        pool_stop(e->pool.get());
    e->output.reset();
    e->pool.reset();
    streams_release_all(e);
    delete e;
}

int32_t engine_start(int32_t device, uint32_t freq, uint32_t out_channels, bool manual,
                     Engine **out)
{
    // Until it is handed out, nothing has reached the engine's mixer, so
    // dropping it half built frees nothing the mixer could still read.
    std::unique_ptr<Engine> e(new (std::nothrow) Engine);
    if (!e || !mixer_init(&e->mixer, freq, out_channels))
        return SONA_ERROR_MEMORY;
    e->manual = manual;
    if (!manual) {
        const int32_t err = output_open(device, &e->mixer, &e->output);
        if (err != SONA_OK)
            return err;
    }
    e->pool = pool_start(&e->mixer, manual, kDecodeThreads);
    if (e->output)
        output_start(e->output.get(), e->pool.get());
    e->first_handle = streams_next_handle();
    *out = e.release();
    return SONA_OK;
}

} // namespace sona
