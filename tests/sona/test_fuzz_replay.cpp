// Replays the inputs kept in fuzz_inputs/ through the fuzz target's own
// body (fuzz/feed.h) in the GCC builds, so that what the fuzzer once found,
// or reached with difficulty, stays covered under every sanitizer here.
#include "../../fuzz/feed.h"
#include "sona_test_util.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

long peak_resident_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(FuzzInputs, EachIsRefusedOrPlayedWithASaneMix)
{
    std::vector<std::filesystem::path> inputs;
    for (const auto &entry : std::filesystem::directory_iterator(SONA_FUZZ_INPUTS))
        inputs.push_back(entry.path());
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << SONA_FUZZ_INPUTS;
    for (const auto &path : inputs) {
        const std::vector<uint8_t> bytes = sona_test::read_file(path.string());
        const long peak_before_kib = peak_resident_kib();
        EXPECT_NE(sona_fuzz::feed(bytes.data(), bytes.size()), sona_fuzz::Fed::kBroken)
            << path.filename();
        // A file of a few bytes must not make the decoder take hundreds of
        // megabytes on the strength of a size its header claims.
        EXPECT_LT(peak_resident_kib() - peak_before_kib, 300L << 10)
            << path.filename() << " raised the peak resident set";
    }
}

} // namespace
