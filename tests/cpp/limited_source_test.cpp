#include <gtest/gtest.h>

#include <string>

#include "io/limited_source.hpp"

namespace tarnix::io {
namespace {

// Reads everything through a limit in pieces of `piece` bytes: the bytes, or nothing on failure.
std::optional<std::string> read_through(const std::string& bytes, std::uint64_t limit, std::size_t piece) {
    MemorySource memory(bytes);
    LimitedSource limited(memory, limit);
    std::string out;
    std::string buffer(piece, '\0');
    for (;;) {
        auto outcome = limited.read(buffer.data(), buffer.size());
        if (std::holds_alternative<IoError>(outcome)) {
            EXPECT_TRUE(limited.exceeded());
            return std::nullopt;
        }
        const std::size_t count = std::get<std::size_t>(outcome);
        if (count == 0) return out;
        out.append(buffer, 0, count);
    }
}

TEST(LimitedSource, PassesUpToTheLimitAndFailsOneByteBeyond) {
    const std::string bytes(1000, 'x');
    for (const std::size_t piece : {1, 7, 1000, 4096}) {
        EXPECT_EQ(read_through(bytes, 1000, piece), bytes) << piece;
        EXPECT_EQ(read_through(bytes, 5000, piece), bytes) << piece;
        EXPECT_EQ(read_through(bytes, 999, piece), std::nullopt) << piece;
        EXPECT_EQ(read_through(bytes, 0, piece), std::nullopt) << piece;
    }
    EXPECT_EQ(read_through("", 0, 16), "");
    EXPECT_EQ(exceeds_max_bytes_text(999), "input size exceeds max_bytes (999)");
}

// Bytes in memory pass in place when within the limit; beyond it, nothing passes and reading
// fails as it would have one read later.
TEST(LimitedSource, HandsOnBytesInMemoryOnlyWithinTheLimit) {
    const std::string bytes(1000, 'x');
    for (const std::uint64_t limit : {1000, 5000}) {
        MemorySource memory(bytes);
        LimitedSource limited(memory, limit);
        const auto rest = limited.rest_in_memory();
        ASSERT_TRUE(rest.has_value()) << limit;
        EXPECT_EQ(rest->data(), bytes.data());
        EXPECT_EQ(rest->size(), bytes.size());
        char byte;
        EXPECT_EQ(std::get<std::size_t>(limited.read(&byte, 1)), 0u);
        EXPECT_FALSE(limited.exceeded());
    }
    MemorySource memory(bytes);
    LimitedSource limited(memory, 999);
    EXPECT_FALSE(limited.rest_in_memory().has_value());
    EXPECT_TRUE(limited.exceeded());
    char byte;
    EXPECT_TRUE(std::holds_alternative<IoError>(limited.read(&byte, 1)));
}

}  // namespace
}  // namespace tarnix::io
