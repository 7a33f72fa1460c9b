// Walks MessagePack bytes without building objects: reads headers, texts and whole values past.
// Lets a reader find the one part of a file it needs at a fraction of the cost of unpacking it all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnix::io {

class MsgpackWalk {
public:
    enum class Failure : std::uint8_t { none, truncated, invalid };

    explicit MsgpackWalk(std::string_view bytes) : bytes_(bytes) {}

    // The entry count of the map at the cursor, moving past its header; nothing when the value
    // is no map (the cursor stays) or the bytes fail.
    std::optional<std::uint64_t> map();
    std::optional<std::uint64_t> array();
    // The text (str or bin) at the cursor, moving past it.
    std::optional<std::string_view> text();
    // Moves past one whole value, however deeply nested; false when the bytes fail.
    bool skip();

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
    bool fail(Failure failure) {
        failure_ = failure;
        return false;
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
    Failure failure_ = Failure::none;
};

}  // namespace tarnix::io
