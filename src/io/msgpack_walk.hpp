// Walks MessagePack bytes without building objects: reads headers, texts and whole values past.
// Lets a reader find the one part of a file it needs at a fraction of the cost of unpacking it all,
// then decode just that part into values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tarnix::io {

// One decoded value. Texts view the decoded bytes; the items of an array (of a map: key, value,
// key, value, ...) lie side by side in the tree that holds the value.
struct MsgpackValue {
    enum class Type : std::uint8_t {
        nil,
        boolean,
        positive_integer,  // any integer from 0 up, however it was written
        negative_integer,
        float32,  // widened to double
        float64,
        str,
        bin,
        ext,  // kept opaque: BinaryCIF has no use for it
        array,
        map,
    };

    Type type = Type::nil;
    std::uint32_t size = 0;  // items of an array, entries of a map, bytes of a str, bin or ext body
    union {
        bool boolean;
        std::uint64_t u64;
        std::int64_t i64;
        double f64;
        const char* bytes;
        const MsgpackValue* items;
    } via{};

    // The bytes of a str or bin.
    std::optional<std::string_view> text() const;
    // The items of an array; empty for any other value.
    std::span<const MsgpackValue> array() const;
    // The last value stored under `key` (a str or bin) in a map; null when there is none or this
    // is no map.
    const MsgpackValue* field(std::string_view key) const;
};

static_assert(sizeof(MsgpackValue) <= 16);

// Values decoded from bytes that outlive them. Moves keep the values where they are.
class MsgpackTree {
public:
    MsgpackTree(MsgpackTree&&) = default;
    MsgpackTree& operator=(MsgpackTree&&) = default;
    MsgpackTree(const MsgpackTree&) = delete;
    MsgpackTree& operator=(const MsgpackTree&) = delete;

    const MsgpackValue& root() const { return values_.front(); }

private:
    friend class MsgpackWalk;
    MsgpackTree() = default;
    std::vector<MsgpackValue> values_;
};

class MsgpackWalk {
public:
    // too_large: a container beyond the limits a decode was given.
    enum class Failure : std::uint8_t { none, truncated, invalid, too_large };

    explicit MsgpackWalk(std::string_view bytes) : bytes_(bytes) {}

    // The entry count of the map at the cursor, moving past its header; nothing when the value
    // is no map (the cursor stays) or the bytes fail.
    std::optional<std::uint64_t> map();
    std::optional<std::uint64_t> array();
    // The text (str or bin) at the cursor, moving past it.
    std::optional<std::string_view> text();
    // Moves past one whole value, however deeply nested; false when the bytes fail.
    bool skip();
    // Decodes the value at the cursor, moving past it. An array or map may hold at most
    // `max_items` entries, and non-empty ones nest at most `max_depth` deep; the values take at
    // most one MsgpackValue (16 bytes) per byte, so hostile headers cost no more than the bytes
    // back.
    std::optional<MsgpackTree> decode(std::uint64_t max_items, std::size_t max_depth);

    std::size_t position() const { return position_; }
    Failure failure() const { return failure_; }

private:
    enum class Kind : std::uint8_t { scalar, text, array, map };
    struct Header {
        Kind kind;
        std::uint64_t count;  // entries of a map or an array; bytes of a text or scalar's body
        std::size_t size;     // bytes of the header itself
    };

    std::optional<Header> header();
    std::optional<Header> read_header();
    std::optional<std::uint64_t> big_endian(std::size_t at, std::size_t width);
    bool decode_into(std::vector<MsgpackValue>& values, std::size_t at, std::size_t depth, std::uint64_t& owed,
                     std::uint64_t max_items, std::size_t max_depth);
    MsgpackValue scalar(unsigned char lead, const Header& found) const;
    bool fail(Failure failure) {
        failure_ = failure;
        return false;
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
    Failure failure_ = Failure::none;
};

}  // namespace tarnix::io
