// libFuzzer target: arbitrary bytes as an in-memory file (see feed.h).
#include "feed.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (sona_fuzz::feed(data, size) == sona_fuzz::Fed::kBroken)
        std::abort(); // a crash the fuzzer reports and keeps, like any other
    return 0;
}
