#include "io/text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/simd.hpp"

#ifdef TARNIX_X86_SIMD
#include <emmintrin.h>
#endif

namespace tarnix::io {
namespace {

constexpr unsigned char byte_at(std::string_view text, std::size_t pos) {
    return static_cast<unsigned char>(text[pos]);
}

constexpr bool is_ascii_whitespace(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

// The multi-byte members of the set: U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F and U+3000.
bool is_two_byte_whitespace(unsigned char b0, unsigned char b1) { return b0 == 0xC2 && (b1 == 0x85 || b1 == 0xA0); }

bool is_three_byte_whitespace(unsigned char b0, unsigned char b1, unsigned char b2) {
    switch (b0) {
        case 0xE1: return b1 == 0x9A && b2 == 0x80;
        case 0xE2:
            if (b1 == 0x80) {
                return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
            }
            return b1 == 0x81 && b2 == 0x9F;
        case 0xE3: return b1 == 0x80 && b2 == 0x80;
        default: return false;
    }
}

// Byte length of the white-space character that ends just before text[end], or 0.
std::size_t whitespace_length_before(std::string_view text, std::size_t end) {
    if (end == 0) {
        return 0;
    }
    if (is_ascii_whitespace(byte_at(text, end - 1))) {
        return 1;
    }
    if (end >= 2 && is_two_byte_whitespace(byte_at(text, end - 2), byte_at(text, end - 1))) {
        return 2;
    }
    if (end >= 3 && is_three_byte_whitespace(byte_at(text, end - 3), byte_at(text, end - 2), byte_at(text, end - 1))) {
        return 3;
    }
    return 0;
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct DecimalShape {
    bool valid = false;
    // Power of ten of the first non-zero mantissa digit (saturated); unset for a zero mantissa.
    std::optional<std::int64_t> leading_power;
};

// Checks digits with at most one '.', at least one digit, then an optional exponent.
DecimalShape examine_decimal(std::string_view body) {
    constexpr std::int64_t kSaturation = std::int64_t{1} << 40;
    std::size_t i = 0;
    std::size_t digits = 0;
    std::size_t integer_digits = 0;
    bool seen_point = false;
    std::optional<std::size_t> first_nonzero;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        if (is_digit(c)) {
            if (c != '0' && !first_nonzero) {
                first_nonzero = digits;
            }
            ++digits;
            if (!seen_point) {
                ++integer_digits;
            }
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    if (digits == 0) {
        return {};
    }
    std::int64_t exponent = 0;
    if (i < body.size()) {
        if (body[i] != 'e' && body[i] != 'E') {
            return {};
        }
        ++i;
        bool negative_exponent = false;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
            negative_exponent = body[i] == '-';
            ++i;
        }
        if (i == body.size()) {
            return {};
        }
        for (; i < body.size(); ++i) {
            if (!is_digit(body[i])) {
                return {};
            }
            if (exponent < kSaturation) {
                exponent = exponent * 10 + (body[i] - '0');
            }
        }
        if (negative_exponent) {
            exponent = -exponent;
        }
    }
    DecimalShape shape;
    shape.valid = true;
    if (first_nonzero) {
        shape.leading_power =
            static_cast<std::int64_t>(integer_digits) - 1 - static_cast<std::int64_t>(*first_nonzero) + exponent;
    }
    return shape;
}

constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
constexpr std::size_t kMaxExactDigits = 7;

// Plain fixed-point text such as "12.345" (no sign) with at most seven digits: the digits and
// the power of ten are exact floats, so one correctly rounded division gives the correctly
// rounded value.
std::optional<float> parse_short_fixed_point(std::string_view body) {
    // Seven digits and a point at most; anything longer is left to the general path.
    if (body.size() > kMaxExactDigits + 1) {
        return std::nullopt;
    }
    std::uint32_t mantissa = 0;
    std::size_t point = body.size();
    for (std::size_t i = 0; i < body.size(); ++i) {
        const unsigned digit = static_cast<unsigned char>(body[i]) - unsigned{'0'};
        if (digit < 10) {
            mantissa = mantissa * 10 + digit;
        } else if (body[i] == '.' && point == body.size()) {
            point = i;
        } else {
            return std::nullopt;
        }
    }
    const bool has_point = point < body.size();
    const std::size_t digits = body.size() - (has_point ? 1 : 0);
    if (digits == 0 || digits > kMaxExactDigits) {
        return std::nullopt;
    }
    const std::size_t fraction_digits = has_point ? body.size() - 1 - point : 0;
    return static_cast<float>(mantissa) / kPowersOfTen[fraction_digits];
}

}  // namespace

std::size_t whitespace_length_at(std::string_view text, std::size_t pos) {
    const std::size_t left = text.size() - pos;
    const unsigned char b0 = byte_at(text, pos);
    if (b0 < 0x80) {
        return is_ascii_whitespace(b0) ? 1 : 0;
    }
    if (left >= 2 && is_two_byte_whitespace(b0, byte_at(text, pos + 1))) {
        return 2;
    }
    if (left >= 3 && is_three_byte_whitespace(b0, byte_at(text, pos + 1), byte_at(text, pos + 2))) {
        return 3;
    }
    return 0;
}

std::string_view trim(std::string_view text) {
    // ASCII bytes are whole characters, so they are settled without the multi-byte lookup.
    std::size_t begin = 0;
    while (begin < text.size()) {
        const unsigned char first = byte_at(text, begin);
        if (first < 0x80) {
            if (!is_ascii_whitespace(first)) {
                break;
            }
            ++begin;
            continue;
        }
        const std::size_t length = whitespace_length_at(text, begin);
        if (length == 0) {
            break;
        }
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const unsigned char last = byte_at(text, end - 1);
        if (last < 0x80) {
            if (!is_ascii_whitespace(last)) {
                break;
            }
            --end;
            continue;
        }
        const std::size_t length = whitespace_length_before(text, end);
        if (length == 0) {
            break;
        }
        end -= length;
    }
    return text.substr(begin, end - begin);
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lower_word[i]) {
            return false;
        }
    }
    return true;
}

std::size_t ascii_prefix_length(std::string_view text) {
    const char* data = text.data();
    const std::size_t size = text.size();
    std::size_t i = 0;
    // 64 bytes at a time: the common case is a whole block of ASCII.
#ifdef TARNIX_X86_SIMD
    for (; i + 64 <= size; i += 64) {
        const auto load = [&](std::size_t offset) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + offset));
        };
        const __m128i any = _mm_or_si128(_mm_or_si128(load(0), load(16)), _mm_or_si128(load(32), load(48)));
        if (_mm_movemask_epi8(any) != 0) {
            break;
        }
    }
#endif
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if ((word & kHighBits) != 0) {
            break;
        }
    }
    while (i < size && static_cast<unsigned char>(data[i]) < 0x80) {
        ++i;
    }
    return i;
}

bool is_valid_utf8(std::string_view text) {
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        i += ascii_prefix_length(text.substr(i));
        if (i == size) {
            break;
        }
        const unsigned char b0 = byte_at(text, i);
        std::size_t length;
        unsigned char low = 0x80;  // allowed range of the second byte
        unsigned char high = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0) {
                low = 0xA0;  // overlong
            } else if (b0 == 0xED) {
                high = 0x9F;  // surrogates
            }
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0) {
                low = 0x90;  // overlong
            } else if (b0 == 0xF4) {
                high = 0x8F;  // above U+10FFFF
            }
        } else {
            return false;
        }
        if (size - i < length) {
            return false;
        }
        const unsigned char b1 = byte_at(text, i + 1);
        if (b1 < low || b1 > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if ((byte_at(text, i + k) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

Parsed<float, FloatError> parse_f32(std::string_view text) {
    if (text.empty()) {
        return {0.0f, FloatError::empty};
    }
    std::string_view body = text;
    bool negative = false;
    if (body.front() == '+' || body.front() == '-') {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    const auto with_sign = [negative](float value) -> Parsed<float, FloatError> {
        return {negative ? -value : value, std::nullopt};
    };
    if (float value; parse_three_decimals(body, value)) {
        return with_sign(value);
    }
    if (const auto value = parse_short_fixed_point(body)) {
        return with_sign(*value);
    }
    if (equals_ignoring_ascii_case(body, "inf") || equals_ignoring_ascii_case(body, "infinity")) {
        return with_sign(std::numeric_limits<float>::infinity());
    }
    if (equals_ignoring_ascii_case(body, "nan")) {
        return with_sign(std::numeric_limits<float>::quiet_NaN());
    }
    const DecimalShape shape = examine_decimal(body);
    if (!shape.valid) {
        return {0.0f, FloatError::invalid};
    }
    float value = 0.0f;
    const char* end = body.data() + body.size();
    const auto [stop, status] = std::from_chars(body.data(), end, value, std::chars_format::general);
    if (stop != end) {
        return {0.0f, FloatError::invalid};
    }
    if (status == std::errc::result_out_of_range) {
        // Too large rounds to infinity, too small to zero; the magnitude tells which.
        const bool overflow = shape.leading_power.value_or(0) > 0;
        value = overflow ? std::numeric_limits<float>::infinity() : 0.0f;
    } else if (status != std::errc()) {
        return {0.0f, FloatError::invalid};
    }
    return with_sign(value);
}

Parsed<std::int32_t, IntegerError> parse_i32(std::string_view text) {
    if (text.empty()) {
        return {0, IntegerError::empty};
    }
    std::size_t i = 0;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        i = 1;
        if (text.size() == 1) {
            return {0, IntegerError::invalid_digit};
        }
    }
    // Nine digits cannot overflow, so short texts skip the range checks.
    if (text.size() - i <= 9) {
        std::int32_t magnitude = 0;
        for (; i < text.size(); ++i) {
            const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(text[i])) - '0';
            if (digit > 9) {
                return {0, IntegerError::invalid_digit};
            }
            magnitude = magnitude * 10 + static_cast<std::int32_t>(digit);
        }
        return {negative ? -magnitude : magnitude, std::nullopt};
    }
    constexpr std::int64_t kMaxMagnitude = std::int64_t{std::numeric_limits<std::int32_t>::max()};
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (!is_digit(text[i])) {
            return {0, IntegerError::invalid_digit};
        }
        magnitude = magnitude * 10 + (text[i] - '0');
        if (!negative && magnitude > kMaxMagnitude) {
            return {0, IntegerError::too_large};
        }
        if (negative && magnitude > kMaxMagnitude + 1) {
            return {0, IntegerError::too_small};
        }
    }
    return {static_cast<std::int32_t>(negative ? -magnitude : magnitude), std::nullopt};
}

}  // namespace tarnix::io
