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
// Readers only ask whether an integer parsed; no message is ever shown for these.
enum class IntegerError : std::uint8_t { empty, invalid_digit, too_large, too_small };

std::string_view message(FloatError error);

class InputError {
public:
    enum class Kind : std::uint8_t {
        Io,
        MissingField,
        InvalidNumber,
        InvalidBinaryCif,
        Empty,
        // Atoms were read, but no residue had all of N, CA, C and O: a nucleic acid, ligands, a
        // CA trace. Its message is Empty's, so callers that only show the text see no difference.
        NoProtein,
    };

    static InputError io(const IoError& error) { return {Kind::Io, error.message()}; }
    static InputError missing_field(std::string_view item) { return {Kind::MissingField, std::string(item)}; }
    static InputError invalid_number(FloatError error) {
        return {Kind::InvalidNumber, std::string(io::message(error))};
    }
    static InputError invalid_binary_cif(std::string detail) { return {Kind::InvalidBinaryCif, std::move(detail)}; }
    static InputError empty() { return {Kind::Empty, {}}; }
    static InputError no_protein() { return {Kind::NoProtein, {}}; }

    Kind kind() const { return kind_; }
    std::string message() const;

private:
    InputError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind_;
    std::string detail_;  // the message after its fixed prefix
};

}  // namespace tarnix::io
