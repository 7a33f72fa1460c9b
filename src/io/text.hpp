// Text rules shared by both readers: the white-space set, trimming, UTF-8 validity and the
// syntax of 32-bit floats and integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "io/input_error.hpp"

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

// Compares text with a lower-case ASCII word, ignoring the case of ASCII letters only.
bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word);

// An optional sign, then a decimal number or inf/infinity/nan in any case; rounded to nearest.
Parsed<float, FloatError> parse_f32(std::string_view text);

// An optional sign, then ASCII digits only.
Parsed<std::int32_t, IntegerError> parse_i32(std::string_view text);

}  // namespace tarnix::io
