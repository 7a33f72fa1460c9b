// Errors of the input layer. They are values: readers return them, nothing throws them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tarnix::io {

// A failure of LineReader: an operating-system error number, or invalid UTF-8.
class IoError {
public:
    static IoError os(int code) { return IoError(false, code); }
    static IoError invalid_utf8() { return IoError(true, 0); }

    bool is_invalid_utf8() const { return invalid_utf8_; }
    int os_code() const { return code_; }
    std::string message() const;

private:
    IoError(bool invalid_utf8, int code) : invalid_utf8_(invalid_utf8), code_(code) {}
    bool invalid_utf8_;
    int code_;
};

// "<description> (os error <code>)", the description coming from the C library.
std::string os_error_text(int code);

enum class FloatError : std::uint8_t { empty, invalid };
enum class IntegerError : std::uint8_t { empty, invalid_digit, too_large, too_small };

std::string_view message(FloatError error);
std::string_view message(IntegerError error);

class InputError {
public:
    enum class Kind : std::uint8_t {
        Io,
        Parse,
        InvalidRecord,
        MissingField,
        UnsupportedFormat,
        InvalidNumber,
        InvalidInteger,
        Json,
        Empty,
    };

    static InputError io(const IoError& error) { return {Kind::Io, error.message()}; }
    static InputError parse(std::uint64_t line, std::string_view text) {
        return {Kind::Parse, std::to_string(line) + ": " + std::string(text)};
    }
    static InputError invalid_record(std::string_view text) { return {Kind::InvalidRecord, std::string(text)}; }
    static InputError missing_field(std::string_view item) { return {Kind::MissingField, std::string(item)}; }
    static InputError unsupported_format(std::string_view text) {
        return {Kind::UnsupportedFormat, std::string(text)};
    }
    static InputError invalid_number(FloatError error) { return {Kind::InvalidNumber, std::string(io::message(error))}; }
    static InputError invalid_integer(IntegerError error) {
        return {Kind::InvalidInteger, std::string(io::message(error))};
    }
    static InputError json(std::string_view text) { return {Kind::Json, std::string(text)}; }
    static InputError empty() { return {Kind::Empty, {}}; }

    Kind kind() const { return kind_; }
    std::string message() const;

private:
    InputError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind_;
    std::string detail_;  // the message after its fixed prefix
};

}  // namespace tarnix::io
