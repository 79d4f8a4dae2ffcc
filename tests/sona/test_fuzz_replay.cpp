// Replays the inputs kept in fuzz_inputs/ through the fuzz target's own
// body (fuzz/feed.h) in the GCC builds, so that what the fuzzer once found,
// or reached with difficulty, stays covered under every sanitizer here.
#include "../../fuzz/feed.h"
#include "sona_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

TEST(FuzzInputs, EachIsRefusedOrPlayedWithASaneMix)
{
    std::vector<std::filesystem::path> inputs;
    for (const auto &entry : std::filesystem::directory_iterator(SONA_FUZZ_INPUTS))
        inputs.push_back(entry.path());
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << SONA_FUZZ_INPUTS;
    for (const auto &path : inputs) {
        const std::vector<uint8_t> bytes = sona_test::read_file(path.string());
        EXPECT_NE(sona_fuzz::feed(bytes.data(), bytes.size()), sona_fuzz::Fed::kBroken)
            << path.filename();
    }
}

} // namespace
