// What the fuzzer once found, or reached with difficulty, replayed through
// its own body (fuzz/feed.h) under every build's sanitizers.
#include "../../fuzz/feed.h"
#include "test_support.h"

#include <sys/resource.h>

namespace {

long peak_resident_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(FuzzInputs, EachIsRefusedOrPlayedWithASaneMixAndNoHugeAllocation)
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(SONA_FUZZ_INPUTS)) {
        const std::vector<uint8_t> bytes = sona_test::read_file(entry.path());
        const long before = peak_resident_kib();
        EXPECT_NE(sona_fuzz::feed(bytes.data(), bytes.size()), sona_fuzz::Fed::kBroken)
            << entry.path().filename();
        // A few bytes must not buy hundreds of megabytes by what a header claims.
        EXPECT_LT(peak_resident_kib() - before, 300L << 10) << entry.path().filename();
        ++count;
    }
    EXPECT_GT(count, 0);
}

} // namespace
