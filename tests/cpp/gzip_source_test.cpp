#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <variant>

#include "io/byte_source.hpp"
#include "io/gzip_source.hpp"

namespace tarnix::io {
namespace {

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string& plain() {
    static const std::string bytes = file_bytes(std::string(TARNIX_TEST_DATA) + "/1ake.cif");
    return bytes;
}

const std::string& zipped() {
    static const std::string bytes = file_bytes(std::string(TARNIX_TEST_DATA) + "/1ake.cif.gz");
    return bytes;
}

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void append_le(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A gzip member holding text in stored (uncompressed) blocks, written here by hand.
std::string stored_gzip(std::string_view text) {
    std::string out = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, '\xff'};
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min<std::size_t>(text.size() - offset, 65535);
        out += static_cast<char>(offset + length == text.size() ? 1 : 0);
        append_le(out, static_cast<std::uint32_t>(length), 2);
        append_le(out, static_cast<std::uint32_t>(~length & 0xFFFF), 2);
        out.append(text.substr(offset, length));
        offset += length;
    } while (offset < text.size());
    append_le(out, crc32(text), 4);
    append_le(out, static_cast<std::uint32_t>(text.size()), 4);
    return out;
}

// Hands its bytes out a few at a time and never in place, as a pipe or an archive member would.
class TrickleSource final : public ByteSource {
public:
    explicit TrickleSource(std::string_view bytes) : bytes_(bytes) {}
    std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) override {
        const std::size_t count = std::min({size, bytes_.size(), std::size_t{777}});
        std::copy_n(bytes_.data(), count, buffer);
        bytes_.remove_prefix(count);
        return count;
    }

private:
    std::string_view bytes_;
};

// The whole text, in place where asked and the decoder holds it whole (zlib's does not), else
// read out in pieces; or the failure.
std::string text_of(GzipSource& gzip, bool in_place) {
    if (in_place) {
        if (const auto text = gzip.rest_in_memory()) return std::string(*text);
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const auto outcome = gzip.read(chunk, sizeof chunk);
        if (!std::holds_alternative<std::size_t>(outcome)) return "failed: " + gzip.failure().value_or("?");
        if (std::get<std::size_t>(outcome) == 0) return text;
        text.append(chunk, std::get<std::size_t>(outcome));
    }
}

std::string decompress(std::string_view compressed, std::uint64_t max_bytes, bool trickle = false,
                       bool in_place = true) {
    MemorySource memory(compressed);
    TrickleSource trickled(compressed);
    GzipSource gzip(trickle ? static_cast<ByteSource&>(trickled) : memory, max_bytes);
    return text_of(gzip, in_place);
}

// The file decompressed by gzip's own tool is the reference, whichever way the compressed bytes
// come and the text goes, and whatever an earlier input left behind on this thread.
TEST(GzipSource, GivesTheSameTextHoweverItsBytesComeAndGo) {
    ASSERT_GT(plain().size(), 100000u);
    const std::uint64_t unlimited = std::uint64_t{1} << 31;
    for (const bool trickle : {false, true}) {
        for (const bool in_place : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "trickle " << trickle << ", in place " << in_place);
            EXPECT_TRUE(decompress(zipped(), unlimited, trickle, in_place) == plain());
            // Members one after another are one text.
            EXPECT_TRUE(decompress(zipped() + zipped(), unlimited, trickle, in_place) == plain() + plain());
        }
    }
}

TEST(GzipSource, SourcesAliveAtOnceKeepTheirOwnText) {
    // As long as the first text and another one: the first's buffer would fit it.
    const std::string other(plain().size(), 'x');
    const std::string other_zipped = stored_gzip(other);
    ASSERT_TRUE(decompress(other_zipped + other_zipped, std::uint64_t{1} << 31) == other + other);
    MemorySource first_bytes(zipped());
    MemorySource second_bytes(other_zipped);
    GzipSource first(first_bytes, std::uint64_t{1} << 31);
    const auto first_text = first.rest_in_memory();
    if (!first_text && !first.failure()) GTEST_SKIP() << "this decoder never holds the whole text";
    ASSERT_TRUE(first_text);
    {
        GzipSource second(second_bytes, std::uint64_t{1} << 31);
        const auto second_text = second.rest_in_memory();
        ASSERT_TRUE(second_text);
        EXPECT_TRUE(*second_text == other);
        EXPECT_TRUE(*first_text == plain());
    }
    // A source made once the others are gone reuses what they held, and the one left keeps its text.
    EXPECT_TRUE(decompress(other_zipped, std::uint64_t{1} << 31) == other);
    EXPECT_TRUE(*first_text == plain());
}

TEST(GzipSource, FailsAtTheLimitAndOnDamagedData) {
    const std::uint64_t size = plain().size();
    // A larger input first, so that the buffer left for the next ones is larger than their limit.
    ASSERT_EQ(decompress(zipped() + zipped(), 2 * size).size(), 2 * size);
    for (const bool trickle : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "trickle " << trickle);
        EXPECT_TRUE(decompress(zipped(), size, trickle) == plain());
        EXPECT_EQ(decompress(zipped(), size - 1, trickle),
                  "failed: gzip: decompressed size exceeds max_bytes (" + std::to_string(size - 1) + ")");
        EXPECT_EQ(decompress(zipped() + zipped(), 2 * size - 1, trickle),
                  "failed: gzip: decompressed size exceeds max_bytes (" + std::to_string(2 * size - 1) + ")");
        const std::string invalid = "failed: gzip: invalid or truncated compressed data";
        EXPECT_EQ(decompress(std::string_view(zipped()).substr(0, zipped().size() - 1), 2 * size, trickle), invalid);
        EXPECT_EQ(decompress(zipped() + "x", 2 * size, trickle), invalid);
        std::string damaged = zipped();
        damaged[damaged.size() / 2] ^= 0x55;
        EXPECT_EQ(decompress(damaged, 2 * size, trickle), invalid);
    }
}

}  // namespace
}  // namespace tarnix::io
