// Decoding MessagePack values: every type BinaryCIF uses, in each width, against values worked
// out by hand; limits on containers; and any cut or byte fails cleanly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/msgpack_walk.hpp"

namespace tarnix::io {
namespace {

using Type = MsgpackValue::Type;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int value : values) out.push_back(static_cast<char>(value));
    return out;
}

TEST(MsgpackDecode, ReadsEveryScalarInEveryWidth) {
    struct Case {
        std::string bytes;
        Type type;
        std::uint64_t u64 = 0;
        std::int64_t i64 = 0;
        double f64 = 0;
    };
    const Case cases[] = {
        {bytes({0x00}), Type::positive_integer, 0},
        {bytes({0x7f}), Type::positive_integer, 127},
        {bytes({0xe0}), Type::negative_integer, 0, -32},
        {bytes({0xff}), Type::negative_integer, 0, -1},
        {bytes({0xcc, 0xfe}), Type::positive_integer, 254},
        {bytes({0xcd, 0x12, 0x34}), Type::positive_integer, 0x1234},
        {bytes({0xce, 0x80, 0, 0, 1}), Type::positive_integer, 0x80000001},
        {bytes({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}), Type::positive_integer, 0xfffffffffffffffe},
        {bytes({0xd0, 0x80}), Type::negative_integer, 0, -128},
        {bytes({0xd0, 0x05}), Type::positive_integer, 5},  // signed forms of counts stay counts
        {bytes({0xd1, 0xff, 0x00}), Type::negative_integer, 0, -256},
        {bytes({0xd1, 0x7f, 0xff}), Type::positive_integer, 32767},
        {bytes({0xd2, 0xff, 0xff, 0xff, 0xfe}), Type::negative_integer, 0, -2},
        {bytes({0xd3, 0x80, 0, 0, 0, 0, 0, 0, 0}), Type::negative_integer, 0, INT64_MIN},
        {bytes({0xd3, 0, 0, 0, 0, 0, 0, 1, 0}), Type::positive_integer, 256},
        {bytes({0xca, 0x3f, 0xc0, 0, 0}), Type::float32, 0, 0, 1.5},
        {bytes({0xca, 0x3d, 0xcc, 0xcc, 0xcd}), Type::float32, 0, 0, static_cast<double>(0.1f)},
        {bytes({0xcb, 0xc0, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18}), Type::float64, 0, 0, -3.141592653589793},
    };
    for (const Case& c : cases) {
        MsgpackWalk walk(c.bytes);
        const auto tree = walk.decode(16, 4);
        ASSERT_TRUE(tree) << testing::PrintToString(c.bytes);
        const MsgpackValue& value = tree->root();
        EXPECT_EQ(value.type, c.type) << testing::PrintToString(c.bytes);
        if (c.type == Type::positive_integer) {
            EXPECT_EQ(value.via.u64, c.u64);
        } else if (c.type == Type::negative_integer) {
            EXPECT_EQ(value.via.i64, c.i64);
        } else {
            EXPECT_EQ(value.via.f64, c.f64);
        }
        EXPECT_EQ(walk.position(), c.bytes.size());
    }
}

TEST(MsgpackDecode, ReadsTextsContainersAndOpaqueExtensions) {
    // {"a": [nil, true, false, bin "xy", str8 "hello", ext(1, 2 bytes)], "b": {}, "a": "last"}
    const std::string document = bytes({0x83, 0xa1, 'a', 0x96, 0xc0, 0xc3, 0xc2, 0xc4, 2, 'x', 'y', 0xd9, 5, 'h',
                                        'e', 'l', 'l', 'o', 0xd5, 1, 9, 9, 0xa1, 'b', 0x80, 0xa1, 'a', 0xa4, 'l', 'a',
                                        's', 't'});
    MsgpackWalk walk(document);
    const auto tree = walk.decode(16, 4);
    ASSERT_TRUE(tree);
    const MsgpackValue& root = tree->root();
    ASSERT_EQ(root.type, Type::map);
    ASSERT_NE(root.field("a"), nullptr);
    EXPECT_EQ(root.field("a")->text(), "last");  // the later of two keys
    EXPECT_EQ(root.field("c"), nullptr);
    ASSERT_NE(root.field("b"), nullptr);
    EXPECT_EQ(root.field("b")->type, Type::map);
    EXPECT_EQ(root.field("b")->size, 0u);
    const auto items = root.via.items[1].array();
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[0].type, Type::nil);
    EXPECT_TRUE(items[1].type == Type::boolean && items[1].via.boolean);
    EXPECT_TRUE(items[2].type == Type::boolean && !items[2].via.boolean);
    EXPECT_EQ(items[3].type, Type::bin);
    EXPECT_EQ(items[3].text(), "xy");
    EXPECT_EQ(items[4].text(), "hello");
    EXPECT_EQ(items[5].type, Type::ext);
    EXPECT_EQ(items[5].text(), std::nullopt);
    EXPECT_EQ(items[5].size, 2u);
    EXPECT_TRUE(items[5].array().empty());
    EXPECT_EQ(walk.position(), document.size());
}

// Containers: at most max_items entries, non-empty ones at most max_depth deep; empty ones are
// leaves at any depth. Beyond the limits before the bytes are looked at.
TEST(MsgpackDecode, KeepsContainersWithinTheLimits) {
    const auto nested = [](int depth, bool empty_inside) {
        std::string out(static_cast<std::size_t>(depth), '\x91');
        out.push_back(empty_inside ? '\x90' : '\xc0');
        return out;
    };
    const auto decodes = [](const std::string& document, std::uint64_t items, std::size_t depth) {
        MsgpackWalk walk(document);
        const bool ok = walk.decode(items, depth).has_value();
        EXPECT_EQ(ok, walk.failure() == MsgpackWalk::Failure::none);
        return ok ? MsgpackWalk::Failure::none : walk.failure();
    };
    using F = MsgpackWalk::Failure;
    EXPECT_EQ(decodes(nested(4, false), 16, 4), F::none);
    EXPECT_EQ(decodes(nested(5, false), 16, 4), F::too_large);
    EXPECT_EQ(decodes(nested(4, true), 16, 4), F::none);
    std::string wide = bytes({0xdc, 0x00, 0x11}) + std::string(17, '\x01');
    EXPECT_EQ(decodes(wide, 17, 4), F::none);
    EXPECT_EQ(decodes(wide, 16, 4), F::too_large);
    EXPECT_EQ(decodes(bytes({0xdf, 0xff, 0xff, 0xff, 0xff}), 1 << 16, 4), F::too_large);
    EXPECT_EQ(decodes(bytes({0xdd, 0x00, 0x01, 0x00, 0x00}), 1 << 16, 4), F::truncated);
    EXPECT_EQ(decodes(bytes({0xc1}), 16, 4), F::invalid);
    EXPECT_EQ(decodes(bytes({0x92, 0x01, 0xc1}), 16, 4), F::invalid);
}

// Every cut of a document fails as truncated, and every one-byte change decodes or fails
// without reading past the bytes (the sanitizer builds check that).
TEST(MsgpackDecode, FailsCleanlyOnEveryCutAndChange) {
    const std::string document = bytes({0x82, 0xa4, 'n', 'a', 'm', 'e', 0xd9, 3, 'a', 'b', 'c', 0xa4, 'l', 'i', 's',
                                        't', 0x94, 0xcd, 1, 2, 0xcb, 0x40, 0, 0, 0, 0, 0, 0, 0, 0xc4, 1, 'z', 0x81,
                                        0xa1, 'k', 0xd2, 0xff, 0xff, 0xff, 0xff});
    for (std::size_t size = 0; size < document.size(); ++size) {
        MsgpackWalk walk(std::string_view(document).substr(0, size));
        EXPECT_FALSE(walk.decode(16, 4)) << size;
        EXPECT_EQ(walk.failure(), MsgpackWalk::Failure::truncated) << size;
    }
    for (std::size_t at = 0; at < document.size(); ++at) {
        for (int byte = 0; byte < 256; ++byte) {
            std::string changed = document;
            changed[at] = static_cast<char>(byte);
            MsgpackWalk walk(changed);
            const auto tree = walk.decode(16, 4);
            EXPECT_LE(walk.position(), changed.size());
            EXPECT_EQ(tree.has_value(), walk.failure() == MsgpackWalk::Failure::none);
        }
    }
}

}  // namespace
}  // namespace tarnix::io
