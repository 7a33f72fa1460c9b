#include "io/msgpack_walk.hpp"

namespace tarnix::io {

std::optional<std::uint64_t> MsgpackWalk::big_endian(std::size_t at, std::size_t width) {
    if (bytes_.size() - position_ < at + width) {
        fail(Failure::truncated);
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes_[position_ + at + i]);
    return value;
}

// The header at the cursor, which stays put, when all its bytes are there. Ext values count as
// scalars with a body.
std::optional<MsgpackWalk::Header> MsgpackWalk::header() {
    const auto found = read_header();
    if (found && found->size > bytes_.size() - position_) {
        fail(Failure::truncated);
        return std::nullopt;
    }
    return found;
}

std::optional<MsgpackWalk::Header> MsgpackWalk::read_header() {
    if (position_ >= bytes_.size()) {
        fail(Failure::truncated);
        return std::nullopt;
    }
    const auto lead = static_cast<unsigned char>(bytes_[position_]);
    if (lead <= 0x7f || lead >= 0xe0) return Header{Kind::scalar, 0, 1};
    if (lead <= 0x8f) return Header{Kind::map, lead & 0x0fu, 1};
    if (lead <= 0x9f) return Header{Kind::array, lead & 0x0fu, 1};
    if (lead <= 0xbf) return Header{Kind::text, lead & 0x1fu, 1};
    const auto sized = [&](Kind kind, std::size_t width) -> std::optional<Header> {
        const auto count = big_endian(1, width);
        if (!count) return std::nullopt;
        return Header{kind, *count, 1 + width};
    };
    switch (lead) {
        case 0xc0:
        case 0xc2:
        case 0xc3: return Header{Kind::scalar, 0, 1};
        case 0xc4:
        case 0xd9: return sized(Kind::text, 1);
        case 0xc5:
        case 0xda: return sized(Kind::text, 2);
        case 0xc6:
        case 0xdb: return sized(Kind::text, 4);
        case 0xc7:
        case 0xc8:
        case 0xc9: {
            const std::size_t width = lead == 0xc7 ? 1 : lead == 0xc8 ? 2 : 4;
            const auto count = big_endian(1, width);
            if (!count) return std::nullopt;
            return Header{Kind::scalar, *count, 2 + width};  // the ext type byte follows the length
        }
        case 0xca: return Header{Kind::scalar, 4, 1};
        case 0xcb: return Header{Kind::scalar, 8, 1};
        case 0xcc:
        case 0xd0: return Header{Kind::scalar, 1, 1};
        case 0xcd:
        case 0xd1: return Header{Kind::scalar, 2, 1};
        case 0xce:
        case 0xd2: return Header{Kind::scalar, 4, 1};
        case 0xcf:
        case 0xd3: return Header{Kind::scalar, 8, 1};
        case 0xd4: return Header{Kind::scalar, 1, 2};
        case 0xd5: return Header{Kind::scalar, 2, 2};
        case 0xd6: return Header{Kind::scalar, 4, 2};
        case 0xd7: return Header{Kind::scalar, 8, 2};
        case 0xd8: return Header{Kind::scalar, 16, 2};
        case 0xdc: return sized(Kind::array, 2);
        case 0xdd: return sized(Kind::array, 4);
        case 0xde: return sized(Kind::map, 2);
        case 0xdf: return sized(Kind::map, 4);
        default: break;
    }
    fail(Failure::invalid);  // 0xc1, which MessagePack never uses
    return std::nullopt;
}

std::optional<std::uint64_t> MsgpackWalk::map() {
    const auto found = header();
    if (!found || found->kind != Kind::map) return std::nullopt;
    position_ += found->size;
    return found->count;
}

std::optional<std::uint64_t> MsgpackWalk::array() {
    const auto found = header();
    if (!found || found->kind != Kind::array) return std::nullopt;
    position_ += found->size;
    return found->count;
}

std::optional<std::string_view> MsgpackWalk::text() {
    const auto found = header();
    if (!found || found->kind != Kind::text) return std::nullopt;
    if (bytes_.size() - position_ - found->size < found->count) {
        fail(Failure::truncated);
        return std::nullopt;
    }
    const std::string_view body = bytes_.substr(position_ + found->size, found->count);
    position_ += found->size + body.size();
    return body;
}

bool MsgpackWalk::skip() {
    // Values still to pass; each takes at least a byte, so more than the bytes left is truncation.
    std::uint64_t pending = 1;
    while (pending > 0) {
        --pending;
        const std::uint64_t left = bytes_.size() - position_;
        if (left == 0) return fail(Failure::truncated);
        const auto lead = static_cast<unsigned char>(bytes_[position_]);
        Header found;
        // The one-byte headers that make up most of a file, before the general case.
        if (lead <= 0x7f || lead >= 0xe0) {
            found = {Kind::scalar, 0, 1};
        } else if (lead <= 0x9f) {
            found = {lead <= 0x8f ? Kind::map : Kind::array, lead & 0x0fu, 1};
        } else if (lead <= 0xbf) {
            found = {Kind::text, lead & 0x1fu, 1};
        } else if (const auto general = header()) {
            found = *general;
        } else {
            return false;
        }
        position_ += found.size;
        const std::uint64_t after = left - found.size;
        if (found.kind == Kind::array || found.kind == Kind::map) {
            const std::uint64_t values = found.kind == Kind::map ? 2 * found.count : found.count;
            if (pending > after || values > after - pending) return fail(Failure::truncated);
            pending += values;
        } else {
            if (found.count > after) return fail(Failure::truncated);
            position_ += found.count;
        }
    }
    return true;
}

}  // namespace tarnix::io
