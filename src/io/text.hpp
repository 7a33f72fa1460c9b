// Text rules shared by both readers: the white-space set, trimming, UTF-8 validity and the
// syntax of 32-bit floats and integers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/simd.hpp"
#include "io/input_error.hpp"

#ifdef TARNIX_X86_SIMD
#include <emmintrin.h>
#endif

namespace tarnix::io {

template <class T, class E>
struct Parsed {
    T value{};
    std::optional<E> error;

    bool ok() const { return !error.has_value(); }
};

// Byte length of the white-space character that starts at text[pos], or 0 if there is none.
std::size_t whitespace_length_at(std::string_view text, std::size_t pos);

// Removes white space at both ends and nothing else.
std::string_view trim(std::string_view text);

bool is_valid_utf8(std::string_view text);

// Number of bytes before the first one that is not ASCII.
std::size_t ascii_prefix_length(std::string_view text);

// trim for text known to be ASCII, where only the ASCII white space can occur.
inline std::string_view trim_ascii(std::string_view text) {
    // Bits 9 to 13 and 32: the ASCII white space.
    const auto is_space = [](char c) {
        const auto code = static_cast<unsigned char>(c);
        return code <= ' ' && ((0x100003E00ULL >> code) & 1) != 0;
    };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space(text[begin])) ++begin;
    while (end > begin && is_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Compares text with a lower-case ASCII word, ignoring the case of ASCII letters only.
bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word);

// An optional sign, then a decimal number or inf/infinity/nan in any case; rounded to nearest.
Parsed<float, FloatError> parse_f32(std::string_view text);

// float(m) / 1000.0f, correctly rounded, without the slow division: a mantissa below 10^7
// over 1000 lies at least 2^-34 of its size away from any point halfway between two floats,
// far beyond the 2^-52 that the double product can be off by, so rounding that product to
// float lands where the division would. A test checks every such mantissa.
inline float thousandths_to_float(std::uint32_t mantissa) {
    return static_cast<float>(static_cast<double>(mantissa) * 0.001);
}

// "%8.3f" as coordinate columns hold it: one to four integer digits, optionally a minus right
// before them, blanks before that, then a point and three digits; the value the short
// fixed-point path gives, or false. The eight bytes are looked at as one word, byte i of the
// field in bits 8i..8i+7; only ASCII fields go on, so no byte-wise sum below carries.
inline bool parse_three_decimals_in_eight(std::string_view field, float& value) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighBits = kOnes * 0x80;
    if (field.size() != 8) {
        return false;
    }
    std::uint64_t word;
    std::memcpy(&word, field.data(), sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    if ((word & kHighBits) != 0) {
        return false;
    }
    // High bit of each byte that is a digit: at least '0' and below ':'.
    const std::uint64_t digits = (word + kOnes * (0x80 - '0')) & ~(word + kOnes * (0x80 - ':')) & kHighBits;
    constexpr std::uint64_t kFraction = 0x8080800000000000ULL;  // bytes 5 to 7
    if (((word >> 32) & 0xFF) != '.' || (digits & kFraction) != kFraction || (digits & 0x80000000ULL) == 0) {
        return false;
    }
    // Bytes 0..3 not digits; the highest of them, if any, ends the blanks and may be the sign.
    const std::uint64_t others = ~digits & 0x80808080ULL;
    bool negative = false;
    if (others != 0) {
        const int last = (63 - std::countl_zero(others)) / 8;
        const std::uint64_t below = (std::uint64_t{1} << (8 * last)) - 1;
        const std::uint64_t sign = (word >> (8 * last)) & 0xFF;
        if ((word & below) != (kOnes * ' ' & below) || (sign != ' ' && sign != '-')) {
            return false;
        }
        negative = sign == '-';
    }
    // The seven digits in order behind a leading zero, every other byte zeroed.
    const std::uint64_t values = word & (digits >> 7) * 0x0F;
    std::uint64_t packed = ((values & 0xFFFFFFFFULL) << 8) | ((values >> 40) << 40);
    packed = (packed * 2561) >> 8;
    packed = ((packed & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
    const auto mantissa = static_cast<std::uint32_t>(((packed & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32);
    const float magnitude = thousandths_to_float(mantissa);
    value = negative ? -magnitude : magnitude;
    return true;
}

#ifdef TARNIX_X86_SIMD
namespace detail {

// Whether the fields whose class bits are given (byte i of field f in bit 8f + i) all hold the
// shape parse_three_decimals_in_eight takes: bytes 3 and 5 to 7 digits, byte 4 the point, and
// before the digits of byte 3 blanks, the last of which may be a minus instead. `fields` has the
// bits of bytes 0 to 7 of each field set; `minus_fields` gets the lowest bit of each negative one.
// A field's bits never reach into the next one's: its bytes 0 to 2 add and shift within it.
inline bool fixed_point_shapes(std::uint32_t fields, std::uint32_t digits, std::uint32_t blanks, std::uint32_t minus,
                               std::uint32_t points, std::uint32_t& minus_fields) {
    const std::uint32_t each = fields & 0x01010101U;  // bit 0 of every field
    if ((digits & each * 0xE8) != each * 0xE8 || (points & each * 0x10) != each * 0x10) return false;
    const std::uint32_t lead = ~digits & each * 0x07;  // non-digits among bytes 0 to 2: a run from byte 0 on
    if ((lead & (lead + each)) != 0) return false;
    const std::uint32_t last = lead & ~(lead >> 1);
    if ((lead & ~last & ~blanks) != 0 || (last & ~(blanks | minus)) != 0) return false;
    const std::uint32_t negative = last & minus;
    minus_fields = (negative | negative >> 1 | negative >> 2) & each;
    return true;
}

// The mantissas of the two 8-byte fields of `bytes` (their digits read as one number, other
// bytes as nothing), and the field's class bits: digits, blanks, minus signs, points.
inline __m128i fixed_point_mantissas(__m128i bytes, unsigned (&classes)[4]) {
    const __m128i from_zero = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(from_zero, _mm_set1_epi8(9)), from_zero);
    classes[0] = static_cast<unsigned>(_mm_movemask_epi8(digit));
    classes[1] = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))));
    classes[2] = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('-'))));
    classes[3] = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
    // Bytes 0 to 7 of a field weigh 10^6 .. 10^3, nothing (the point), 10^2 .. 1: pairs of bytes
    // first (1000 d0 + 100 d1, 10 d2 + d3, 100 d5, 10 d6 + d7), then the thousands and the units.
    const __m128i values = _mm_and_si128(from_zero, digit);
    const __m128i weights = _mm_setr_epi16(1000, 100, 10, 1, 0, 100, 10, 1);
    const __m128i zero = _mm_setzero_si128();
    const __m128i first = _mm_madd_epi16(_mm_unpacklo_epi8(values, zero), weights);
    const __m128i second = _mm_madd_epi16(_mm_unpackhi_epi8(values, zero), weights);
    const __m128i parts = _mm_madd_epi16(_mm_packs_epi32(first, second), _mm_set1_epi16(1));
    return _mm_madd_epi16(_mm_packs_epi32(parts, parts), _mm_setr_epi16(1000, 1, 1000, 1, 1000, 1, 1000, 1));
}

}  // namespace detail
#endif

// The three coordinate fields of a PDB line, the 24 bytes from `fields` on: what
// parse_three_decimals_in_eight gives for each, when it takes all three; else false, and the
// caller reads them one by one.
inline bool parse_three_fixed_fields(const char* fields, float (&xyz)[3]) {
#ifdef TARNIX_X86_SIMD
    unsigned first[4];
    unsigned last[4];
    const __m128i xy = detail::fixed_point_mantissas(_mm_loadu_si128(reinterpret_cast<const __m128i*>(fields)), first);
    const __m128i z =
        detail::fixed_point_mantissas(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(fields + 16)), last);
    // The fields x, y and z in bytes 0 to 7, 8 to 15 and 16 to 23 of the class bits.
    std::uint32_t negative = 0;
    if (!detail::fixed_point_shapes(0xFFFFFF, first[0] | (last[0] & 0xFF) << 16, first[1] | (last[1] & 0xFF) << 16,
                                    first[2] | (last[2] & 0xFF) << 16, first[3] | (last[3] & 0xFF) << 16, negative)) {
        return false;
    }
    // As thousandths_to_float does it, two lanes at a time.
    const __m128d thousandth = _mm_set1_pd(0.001);
    alignas(16) float values[4];
    _mm_store_ps(values, _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(xy), thousandth)),
                                       _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(z), thousandth))));
    for (int axis = 0; axis < 3; ++axis) xyz[axis] = (negative >> (8 * axis)) & 1 ? -values[axis] : values[axis];
    return true;
#else
    for (int axis = 0; axis < 3; ++axis) {
        if (!parse_three_decimals_in_eight(std::string_view(fields + 8 * axis, 8), xyz[axis])) return false;
    }
    return true;
#endif
}

// parse_f32(trim(field)) for an ASCII field; quicker on the "%8.3f" shape of fixed-column
// coordinates, and inline so that the common case stays in registers.
inline Parsed<float, FloatError> parse_f32_field(std::string_view ascii_field) {
    float value;
    if (parse_three_decimals_in_eight(ascii_field, value)) {
        return {value, std::nullopt};
    }
    return parse_f32(trim_ascii(ascii_field));
}

// One to four digits, a point and three digits, as mmCIF files write coordinates (no sign):
// the value, correctly rounded, or false for any other text. The digits are read as one word
// "0IIIIFFF" (integer digits right-aligned behind zeros, then the decimals), without a test per
// byte, whose varying count cost a mispredicted branch per number.
inline bool parse_three_decimals(std::string_view body, float& value) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighBits = kOnes * 0x80;
    const std::size_t size = body.size();
    if (size < 5 || size > 8) {
        return false;
    }
    const auto load = [](const char* bytes) {
        std::uint32_t word;
        std::memcpy(&word, bytes, sizeof word);
        if constexpr (std::endian::native == std::endian::big) {
            word = __builtin_bswap32(word);
        }
        return std::uint64_t{word};
    };
    const std::uint64_t point_and_decimals = load(body.data() + size - 4);
    if ((point_and_decimals & 0xFF) != '.') {
        return false;
    }
    // The first four bytes hold the integer digits and, when there are fewer, what follows them,
    // which the shift pushes out of the word's bytes 1 to 4.
    const unsigned shift = 8 * static_cast<unsigned>(9 - size);
    const std::uint64_t zeros = (kOnes * '0') & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t word =
        ((load(body.data()) << shift) & 0xFFFFFFFF00ULL) | zeros | ((point_and_decimals >> 8) << 40);
    // High bit of each byte that is a digit; with every byte ASCII no byte-wise sum carries.
    const std::uint64_t digits = (word + kOnes * (0x80 - '0')) & ~(word + kOnes * (0x80 - ':')) & kHighBits;
    if ((word & kHighBits) != 0 || digits != kHighBits) {
        return false;
    }
    std::uint64_t values = word - kOnes * '0';
    values = (values * 10 + (values >> 8)) & 0x00FF00FF00FF00FFULL;
    values = (values * 100 + (values >> 16)) & 0x0000FFFF0000FFFFULL;
    values = (values * 10000 + (values >> 32)) & 0xFFFFFFFFULL;
    // At most seven digits: the product rounds as the division by 1000 does.
    value = thousandths_to_float(static_cast<std::uint32_t>(values));
    return true;
}

// An optional sign, then ASCII digits only.
Parsed<std::int32_t, IntegerError> parse_i32(std::string_view text);

}  // namespace tarnix::io
