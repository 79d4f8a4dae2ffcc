// The last error is per thread so that a call on one thread never blurs the
// result another thread is about to read.
#include "sona_internal.h"

namespace sona {

namespace {
thread_local int32_t t_last_error = SONA_OK;
}

void error_set(int32_t code)
{
    t_last_error = code;
}

int32_t error_get()
{
    return t_last_error;
}

} // namespace sona
