#include "io/limited_source.hpp"

#include <algorithm>
#include <cerrno>

namespace tarnix::io {

std::string exceeds_max_bytes_text(std::uint64_t max_bytes) {
    return "input size exceeds max_bytes (" + std::to_string(max_bytes) + ")";
}

std::variant<std::size_t, IoError> LimitedSource::read(char* buffer, std::size_t size) {
    if (exceeded_) return IoError::os(EFBIG);
    if (size == 0) return std::size_t{0};
    // At the limit, one more byte tells a source that ends there from one that goes on.
    const std::size_t wanted =
        remaining_ == 0 ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
    auto outcome = inner_.read(buffer, wanted);
    if (const auto* count = std::get_if<std::size_t>(&outcome)) {
        if (remaining_ == 0 && *count > 0) {
            exceeded_ = true;
            return IoError::os(EFBIG);
        }
        remaining_ -= *count;
    }
    return outcome;
}

std::optional<std::string_view> LimitedSource::rest_in_memory() {
    if (exceeded_) return std::nullopt;
    const auto rest = inner_.rest_in_memory();
    if (!rest) return std::nullopt;
    if (rest->size() > remaining_) {
        exceeded_ = true;
        return std::nullopt;
    }
    remaining_ -= rest->size();
    return rest;
}

}  // namespace tarnix::io
