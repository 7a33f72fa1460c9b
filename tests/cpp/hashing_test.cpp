#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/hashing.hpp"

namespace tarnix::base {
namespace {

TEST(Hasher, SplitsOfOneStringDiffer) {
    EXPECT_NE(Hasher().add_bytes("AB").add_bytes("").value(), Hasher().add_bytes("A").add_bytes("B").value());
    EXPECT_NE(Hasher().add_bytes("").add(1).value(), Hasher().add(1).add_bytes("").value());
}

// Keys that differ only in high bits, or in a strided grid, still fill the low-bit buckets evenly.
TEST(Hasher, SpreadsStructuredKeysOverBuckets) {
    const auto max_load = [](auto key) {
        std::vector<int> buckets(1024, 0);
        for (std::uint64_t a = 0; a < 64; ++a) {
            for (std::uint64_t b = 0; b < 64; ++b) ++buckets[key(a, b) % buckets.size()];
        }
        return *std::max_element(buckets.begin(), buckets.end());
    };
    EXPECT_LT(max_load([](std::uint64_t a, std::uint64_t b) { return Hasher().add(a << 40).add(b << 52).value(); }),
              16);
    EXPECT_LT(max_load([](std::uint64_t a, std::uint64_t b) { return Hasher().add(a * 1024).add(b * 1024).value(); }),
              16);
}

}  // namespace
}  // namespace tarnix::base
