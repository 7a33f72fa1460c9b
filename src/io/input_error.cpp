#include "io/input_error.hpp"

#include <cstring>

namespace tarnix::io {
namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer).
[[maybe_unused]] const char* pick_description(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* pick_description(int xsi_result, const char* buffer) {
    return xsi_result == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int code) {
    char buffer[256] = {};
    const char* description = pick_description(strerror_r(code, buffer, sizeof buffer), buffer);
    return std::string(description) + " (os error " + std::to_string(code) + ")";
}

std::string IoError::message() const {
    return is_invalid_utf8() ? std::string("stream did not contain valid UTF-8") : os_error_text(code_);
}

std::string_view message(FloatError error) {
    switch (error) {
        case FloatError::empty: return "cannot parse float from empty string";
        case FloatError::invalid: break;
    }
    return "invalid float literal";
}

std::string InputError::message() const {
    switch (kind_) {
        case Kind::Io: return "IO error: " + detail_;
        case Kind::MissingField: return "Missing field: " + detail_;
        case Kind::InvalidNumber: return "Invalid number: " + detail_;
        case Kind::InvalidBinaryCif: return "Invalid BinaryCIF: " + detail_;
        case Kind::Empty:
        case Kind::NoProtein: break;
    }
    return "Empty file or no valid records";
}

}  // namespace tarnix::io
