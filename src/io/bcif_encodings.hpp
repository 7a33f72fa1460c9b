// Undoing BinaryCIF's encodings: a column's bytes and list of encodings to numbers or texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "io/msgpack_walk.hpp"

namespace tarnix::io::bcif {

// What an array holds at some step of the decoding: the file's bytes, integers, real numbers
// or texts. Texts are indices into a table of the distinct strings (viewing the file); a
// negative index is the empty text.
struct Values {
    enum class Type : std::uint8_t { bytes, integers, reals, texts };

    Type type = Type::bytes;
    std::string_view bytes;
    std::vector<std::int64_t> integers;  // the texts' indices too
    std::vector<double> reals;
    std::vector<std::string_view> strings;

    std::size_t size() const;
    const std::string_view& text(std::size_t i) const {
        static constexpr std::string_view kEmpty;
        return integers[i] < 0 ? kEmpty : strings[static_cast<std::size_t>(integers[i])];
    }
};

// Decodes a data map ({"data": bytes, "encoding": [encoding, ...]}): the values, or why not.
// No run-length or packed array may expand to more than `limit` values.
std::variant<Values, std::string> decode(const MsgpackValue& data, std::int64_t limit);

}  // namespace tarnix::io::bcif
