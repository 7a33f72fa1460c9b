#include "io/bcif_encodings.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

namespace tarnix::io::bcif {
namespace {

using Type = Values::Type;
using Failure = std::optional<std::string>;

std::string_view type_name(Type type) {
    switch (type) {
        case Type::bytes: return "bytes";
        case Type::integers: return "integers";
        case Type::reals: return "real numbers";
        case Type::texts: break;
    }
    return "texts";
}

std::optional<double> number_of(const MsgpackValue* object) {
    if (object == nullptr) return std::nullopt;
    switch (object->type) {
        case MsgpackValue::Type::positive_integer: return static_cast<double>(object->via.u64);
        case MsgpackValue::Type::negative_integer: return static_cast<double>(object->via.i64);
        case MsgpackValue::Type::float32:
        case MsgpackValue::Type::float64: return object->via.f64;
        default: return std::nullopt;
    }
}

// Integers, and real numbers that are whole, within ±2^53.
std::optional<std::int64_t> integer_of(const MsgpackValue* object) {
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    if (object == nullptr) return std::nullopt;
    if (object->type == MsgpackValue::Type::positive_integer) {
        if (object->via.u64 > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(object->via.u64);
    }
    if (object->type == MsgpackValue::Type::negative_integer) return object->via.i64;
    const auto number = number_of(object);
    if (!number || !(std::fabs(*number) <= static_cast<double>(kExact)) || std::trunc(*number) != *number) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*number);
}

std::optional<bool> bool_of(const MsgpackValue* object) {
    if (object == nullptr || object->type != MsgpackValue::Type::boolean) return std::nullopt;
    return object->via.boolean;
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
    return out;
}

Failure needs(std::string_view kind, Type wanted, const Values& values) {
    if (values.type == wanted) return std::nullopt;
    return std::string(kind) + " needs " + std::string(type_name(wanted)) + ", not " +
           std::string(type_name(values.type));
}

Failure missing(std::string_view kind, std::string_view parameter) {
    return std::string(kind) + " lacks a valid " + quoted(parameter);
}

template <class T>
T load_little_endian(const char* bytes) {
    using Bits =
        std::conditional_t<sizeof(T) == 1, std::uint8_t,
                           std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                              std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
    Bits bits;
    std::memcpy(&bits, bytes, sizeof bits);
    if constexpr (std::endian::native == std::endian::big) {
        Bits swapped = 0;
        for (std::size_t i = 0; i < sizeof bits; ++i)
            swapped = static_cast<Bits>((swapped << 8) | ((bits >> (8 * i)) & 0xFF));
        bits = swapped;
    }
    return std::bit_cast<T>(bits);
}

template <class T, class Out>
void load_all(std::string_view bytes, std::vector<Out>& out) {
    const std::size_t count = bytes.size() / sizeof(T);
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<Out>(load_little_endian<T>(bytes.data() + i * sizeof(T)));
}

Failure undo_byte_array(const MsgpackValue& encoding, Values& values) {
    if (auto failure = needs("ByteArray", Type::bytes, values)) return failure;
    const auto type = integer_of(encoding.field("type"));
    std::size_t size = 0;
    switch (type.value_or(0)) {
        case 1:
        case 4: size = 1; break;
        case 2:
        case 5: size = 2; break;
        case 3:
        case 6:
        case 32: size = 4; break;
        case 33: size = 8; break;
        default: return missing("ByteArray", "type");
    }
    const std::string_view bytes = values.bytes;
    if (bytes.size() % size != 0) {
        return "ByteArray of " + std::to_string(bytes.size()) + " bytes does not hold whole values of " +
               std::to_string(size) + " bytes";
    }
    values.type = Type::integers;
    switch (*type) {
        case 1: load_all<std::int8_t>(bytes, values.integers); break;
        case 2: load_all<std::int16_t>(bytes, values.integers); break;
        case 3: load_all<std::int32_t>(bytes, values.integers); break;
        case 4: load_all<std::uint8_t>(bytes, values.integers); break;
        case 5: load_all<std::uint16_t>(bytes, values.integers); break;
        case 6: load_all<std::uint32_t>(bytes, values.integers); break;
        case 32:
            values.type = Type::reals;
            load_all<float>(bytes, values.reals);
            break;
        default:
            values.type = Type::reals;
            load_all<double>(bytes, values.reals);
            break;
    }
    values.bytes = {};
    return std::nullopt;
}

void to_reals(Values& values, auto&& convert) {
    values.reals.resize(values.integers.size());
    for (std::size_t i = 0; i < values.integers.size(); ++i) values.reals[i] = convert(values.integers[i]);
    values.integers = {};
    values.type = Type::reals;
}

// n / factor in double, then (by the caller) to float: for integer factors up to 2^21 and
// 32-bit n the quotient lies at least 2^-46 of its size from any point halfway between two
// floats, beyond the double's error, so this rounds as a text reader rounds the same decimal.
Failure undo_fixed_point(const MsgpackValue& encoding, Values& values) {
    if (auto failure = needs("FixedPoint", Type::integers, values)) return failure;
    const auto factor = number_of(encoding.field("factor"));
    if (!factor || !std::isfinite(*factor) || *factor == 0) return missing("FixedPoint", "factor");
    const double f = *factor;
    to_reals(values, [f](std::int64_t n) { return static_cast<double>(n) / f; });
    return std::nullopt;
}

Failure undo_interval_quantization(const MsgpackValue& encoding, Values& values) {
    if (auto failure = needs("IntervalQuantization", Type::integers, values)) return failure;
    const auto min = number_of(encoding.field("min"));
    const auto max = number_of(encoding.field("max"));
    const auto steps = integer_of(encoding.field("numSteps"));
    if (!min || !std::isfinite(*min)) return missing("IntervalQuantization", "min");
    if (!max || !std::isfinite(*max)) return missing("IntervalQuantization", "max");
    if (!steps || *steps < 2) return missing("IntervalQuantization", "numSteps");
    const double low = *min;
    const double delta = (*max - *min) / static_cast<double>(*steps - 1);
    to_reals(values, [low, delta](std::int64_t k) { return low + delta * static_cast<double>(k); });
    return std::nullopt;
}

std::optional<std::int64_t> size_of(const MsgpackValue& encoding, std::int64_t limit) {
    const auto size = integer_of(encoding.field("srcSize"));
    if (!size || *size < 0 || *size > limit) return std::nullopt;
    return size;
}

Failure undo_run_length(const MsgpackValue& encoding, Values& values, std::int64_t limit) {
    if (auto failure = needs("RunLength", Type::integers, values)) return failure;
    const auto size = size_of(encoding, limit);
    if (!size) return missing("RunLength", "srcSize");
    const std::vector<std::int64_t>& runs = values.integers;
    if (runs.size() % 2 != 0) return std::string("RunLength needs (value, count) pairs, got an odd count");
    std::int64_t total = 0;
    for (std::size_t i = 1; i < runs.size(); i += 2) {
        if (runs[i] < 0 || runs[i] > *size - total) {
            return "RunLength counts do not add up to its srcSize " + std::to_string(*size);
        }
        total += runs[i];
    }
    if (total != *size) return "RunLength counts do not add up to its srcSize " + std::to_string(*size);
    std::vector<std::int64_t> out(static_cast<std::size_t>(total));
    auto next = out.begin();
    for (std::size_t i = 0; i < runs.size(); i += 2)
        next = std::fill_n(next, static_cast<std::size_t>(runs[i + 1]), runs[i]);
    values.integers = std::move(out);
    return std::nullopt;
}

Failure undo_delta(const MsgpackValue& encoding, Values& values) {
    if (auto failure = needs("Delta", Type::integers, values)) return failure;
    const auto origin = integer_of(encoding.field("origin"));
    if (!origin) return missing("Delta", "origin");
    // Unsigned arithmetic: a sum past the 64-bit range wraps instead of being undefined.
    auto sum = static_cast<std::uint64_t>(*origin);
    for (std::int64_t& value : values.integers) {
        sum += static_cast<std::uint64_t>(value);
        value = static_cast<std::int64_t>(sum);
    }
    return std::nullopt;
}

Failure undo_integer_packing(const MsgpackValue& encoding, Values& values, std::int64_t limit) {
    if (auto failure = needs("IntegerPacking", Type::integers, values)) return failure;
    const auto byte_count = integer_of(encoding.field("byteCount"));
    const auto is_unsigned = bool_of(encoding.field("isUnsigned"));
    const auto size = size_of(encoding, limit);
    if (!byte_count || (*byte_count != 1 && *byte_count != 2)) return missing("IntegerPacking", "byteCount");
    if (!is_unsigned) return missing("IntegerPacking", "isUnsigned");
    if (!size) return missing("IntegerPacking", "srcSize");
    const std::int64_t upper = *is_unsigned ? (*byte_count == 1 ? 0xFF : 0xFFFF) : (*byte_count == 1 ? 0x7F : 0x7FFF);
    const std::int64_t lower = *is_unsigned ? upper : -upper - 1;
    std::vector<std::int64_t>& packed = values.integers;
    // Each value takes at least one packed number, so unpacking in place never overtakes reading.
    std::size_t out = 0;
    for (std::size_t i = 0; i < packed.size();) {
        if (static_cast<std::int64_t>(out) == *size) {
            return "IntegerPacking data hold more than its srcSize " + std::to_string(*size) + " values";
        }
        std::int64_t value = 0;
        while (packed[i] == upper || packed[i] == lower) {
            value += packed[i];
            if (++i == packed.size()) return std::string("IntegerPacking data end inside a value");
        }
        packed[out++] = value + packed[i++];
    }
    if (static_cast<std::int64_t>(out) != *size) {
        return "IntegerPacking data hold fewer than its srcSize " + std::to_string(*size) + " values";
    }
    packed.resize(out);
    return std::nullopt;
}

std::variant<Values, std::string> decode_bytes(std::string_view bytes, const MsgpackValue* encodings,
                                               std::int64_t limit);

std::variant<std::vector<std::int64_t>, std::string> decode_integers(const MsgpackValue& encoding,
                                                                     std::string_view bytes_key,
                                                                     std::string_view encoding_key,
                                                                     std::int64_t limit) {
    const MsgpackValue* raw = encoding.field(bytes_key);
    const auto bytes = raw != nullptr ? raw->text() : std::nullopt;
    if (!bytes) return "StringArray lacks its " + quoted(bytes_key);
    auto decoded = decode_bytes(*bytes, encoding.field(encoding_key), limit);
    if (auto* failure = std::get_if<std::string>(&decoded))
        return "StringArray " + std::string(bytes_key) + ": " + *failure;
    Values& values = std::get<Values>(decoded);
    if (values.type != Type::integers) {
        return "StringArray " + std::string(bytes_key) + " decode to " + std::string(type_name(values.type)) +
               ", not integers";
    }
    return std::move(values.integers);
}

Failure undo_string_array(const MsgpackValue& encoding, Values& values, std::int64_t limit) {
    if (auto failure = needs("StringArray", Type::bytes, values)) return failure;
    const MsgpackValue* string_data = encoding.field("stringData");
    const auto strings = string_data != nullptr ? string_data->text() : std::nullopt;
    if (!strings) return missing("StringArray", "stringData");
    auto offsets = decode_integers(encoding, "offsets", "offsetEncoding", limit);
    if (auto* failure = std::get_if<std::string>(&offsets)) return std::move(*failure);
    const std::vector<std::int64_t>& bounds = std::get<0>(offsets);
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        if (bounds[i] < (i == 0 ? 0 : bounds[i - 1]) || bounds[i] > static_cast<std::int64_t>(strings->size())) {
            return std::string("StringArray offsets do not rise within its stringData");
        }
    }
    // The column's own bytes hold the indices.
    values.type = Type::bytes;
    auto indices = decode_bytes(values.bytes, encoding.field("dataEncoding"), limit);
    if (auto* failure = std::get_if<std::string>(&indices)) return "StringArray data: " + *failure;
    Values& index = std::get<Values>(indices);
    if (index.type != Type::integers) {
        return "StringArray data decode to " + std::string(type_name(index.type)) + ", not integers";
    }
    const auto count = static_cast<std::int64_t>(bounds.size()) - 1;
    for (const std::int64_t k : index.integers) {
        if (k >= 0 && k >= count)
            return "StringArray index " + std::to_string(k) + " past its " + std::to_string(count) + " strings";
    }
    values.strings.resize(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    for (std::size_t k = 0; k < values.strings.size(); ++k) {
        values.strings[k] =
            strings->substr(static_cast<std::size_t>(bounds[k]), static_cast<std::size_t>(bounds[k + 1] - bounds[k]));
    }
    values.integers = std::move(index.integers);
    values.type = Type::texts;
    values.bytes = {};
    return std::nullopt;
}

Failure undo(const MsgpackValue& encoding, Values& values, std::int64_t limit) {
    const MsgpackValue* kind_object = encoding.field("kind");
    const auto kind = kind_object != nullptr ? kind_object->text() : std::nullopt;
    if (!kind) return std::string("an encoding lacks its 'kind'");
    if (*kind == "ByteArray") return undo_byte_array(encoding, values);
    if (*kind == "FixedPoint") return undo_fixed_point(encoding, values);
    if (*kind == "IntervalQuantization") return undo_interval_quantization(encoding, values);
    if (*kind == "RunLength") return undo_run_length(encoding, values, limit);
    if (*kind == "Delta") return undo_delta(encoding, values);
    if (*kind == "IntegerPacking") return undo_integer_packing(encoding, values, limit);
    if (*kind == "StringArray") return undo_string_array(encoding, values, limit);
    return "unknown encoding " + quoted(*kind);
}

std::variant<Values, std::string> decode_bytes(std::string_view bytes, const MsgpackValue* encodings,
                                               std::int64_t limit) {
    if (encodings == nullptr || encodings->type != MsgpackValue::Type::array) return std::string("no list of encodings");
    Values values;
    values.bytes = bytes;
    const std::span<const MsgpackValue> list = encodings->array();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (auto failure = undo(*it, values, limit)) return std::move(*failure);
    }
    if (values.type == Type::bytes) return std::string("the encodings leave bytes undecoded");
    return values;
}

}  // namespace

std::size_t Values::size() const {
    switch (type) {
        case Type::bytes: return bytes.size();
        case Type::integers:
        case Type::texts: return integers.size();
        case Type::reals: break;
    }
    return reals.size();
}

std::variant<Values, std::string> decode(const MsgpackValue& data, std::int64_t limit) {
    const MsgpackValue* raw = data.field("data");
    const auto bytes = raw != nullptr ? raw->text() : std::nullopt;
    if (!bytes) return std::string("no bytes under 'data'");
    return decode_bytes(*bytes, data.field("encoding"), limit);
}

}  // namespace tarnix::io::bcif
