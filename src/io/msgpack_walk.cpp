#include "io/msgpack_walk.hpp"

#include <bit>

namespace tarnix::io {
namespace {

std::uint64_t load_big_endian(const char* bytes, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

}  // namespace

std::optional<std::string_view> MsgpackValue::text() const {
    if (type != Type::str && type != Type::bin) return std::nullopt;
    return std::string_view(via.bytes, size);
}

std::span<const MsgpackValue> MsgpackValue::array() const {
    if (type != Type::array) return {};
    return {via.items, size};
}

const MsgpackValue* MsgpackValue::field(std::string_view key) const {
    if (type != Type::map) return nullptr;
    const MsgpackValue* found = nullptr;
    for (std::uint32_t i = 0; i < size; ++i) {
        if (via.items[2 * i].text() == key) found = &via.items[2 * i + 1];
    }
    return found;
}

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

// A scalar whose header and body are all there.
MsgpackValue MsgpackWalk::scalar(unsigned char lead, const Header& found) const {
    using Type = MsgpackValue::Type;
    MsgpackValue value;
    const char* body = bytes_.data() + position_ + found.size;
    const auto integer = [&](std::uint64_t bits, bool is_signed) {
        const std::size_t width = found.count;
        if (is_signed && width < 8 && (bits >> (8 * width - 1)) != 0) bits |= ~std::uint64_t{0} << (8 * width);
        if (is_signed && static_cast<std::int64_t>(bits) < 0) {
            value.type = Type::negative_integer;
            value.via.i64 = static_cast<std::int64_t>(bits);
        } else {
            value.type = Type::positive_integer;
            value.via.u64 = bits;
        }
    };
    if (lead <= 0x7f) {
        value.type = Type::positive_integer;
        value.via.u64 = lead;
    } else if (lead >= 0xe0) {
        value.type = Type::negative_integer;
        value.via.i64 = static_cast<std::int64_t>(lead) - 0x100;
    } else if (lead == 0xc2 || lead == 0xc3) {
        value.type = Type::boolean;
        value.via.boolean = lead == 0xc3;
    } else if (lead >= 0xcc && lead <= 0xcf) {
        integer(load_big_endian(body, found.count), false);
    } else if (lead >= 0xd0 && lead <= 0xd3) {
        integer(load_big_endian(body, found.count), true);
    } else if (lead == 0xca) {
        value.type = Type::float32;
        value.via.f64 = std::bit_cast<float>(static_cast<std::uint32_t>(load_big_endian(body, 4)));
    } else if (lead == 0xcb) {
        value.type = Type::float64;
        value.via.f64 = std::bit_cast<double>(load_big_endian(body, 8));
    } else if (lead != 0xc0) {
        value.type = Type::ext;
        value.via.bytes = body;
        value.size = static_cast<std::uint32_t>(found.count);
    }
    return value;
}

// Decodes the value at the cursor into values[at]; an array's or map's items go to the end of
// `values`, side by side, linked by index until the tree is whole. `owed` counts the values
// placed but not yet decoded, this one included: no more are placed than bytes are left.
bool MsgpackWalk::decode_into(std::vector<MsgpackValue>& values, std::size_t at, std::size_t depth,
                              std::uint64_t& owed, std::uint64_t max_items, std::size_t max_depth) {
    using Type = MsgpackValue::Type;
    const auto found = header();
    if (!found) return false;
    const auto lead = static_cast<unsigned char>(bytes_[position_]);
    // Values still owed after this one take at least a byte each, as in skip().
    const std::uint64_t after = bytes_.size() - position_ - found->size;
    --owed;
    if (owed > after) return fail(Failure::truncated);
    if (found->kind == Kind::scalar || found->kind == Kind::text) {
        if (found->count > after - owed) return fail(Failure::truncated);
        MsgpackValue value;
        if (found->kind == Kind::text) {
            value.type = lead >= 0xc4 && lead <= 0xc6 ? Type::bin : Type::str;
            value.size = static_cast<std::uint32_t>(found->count);
            value.via.bytes = bytes_.data() + position_ + found->size;
        } else {
            value = scalar(lead, *found);
        }
        values[at] = value;
        position_ += found->size + found->count;
        return true;
    }
    // Limits first, then whether the bytes can back the items (each takes at least a byte).
    if (found->count > max_items || (found->count > 0 && depth > max_depth)) return fail(Failure::too_large);
    const std::uint64_t items = found->kind == Kind::map ? 2 * found->count : found->count;
    if (items > after - owed) return fail(Failure::truncated);
    owed += items;
    const std::size_t first = values.size();
    values[at].type = found->kind == Kind::map ? Type::map : Type::array;
    values[at].size = static_cast<std::uint32_t>(found->count);
    values[at].via.u64 = first;
    values.resize(first + items);
    position_ += found->size;
    for (std::size_t i = 0; i < items; ++i) {
        if (!decode_into(values, first + i, depth + 1, owed, max_items, max_depth)) return false;
    }
    return true;
}

std::optional<MsgpackTree> MsgpackWalk::decode(std::uint64_t max_items, std::size_t max_depth) {
    MsgpackTree tree;
    tree.values_.resize(1);
    std::uint64_t owed = 1;
    if (!decode_into(tree.values_, 0, 1, owed, max_items, max_depth)) return std::nullopt;
    for (MsgpackValue& value : tree.values_) {
        if (value.type == MsgpackValue::Type::array || value.type == MsgpackValue::Type::map) {
            value.via.items = tree.values_.data() + value.via.u64;
        }
    }
    return tree;
}

}  // namespace tarnix::io
