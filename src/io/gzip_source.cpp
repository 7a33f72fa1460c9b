#include "io/gzip_source.hpp"

#include <cerrno>

namespace tarnix::io {

std::variant<std::size_t, io::IoError> GzipSource::fail(std::string message) {
    if (!failure_) failure_ = std::move(message);
    return io::IoError::os(EIO);
}

std::variant<std::size_t, io::IoError> GzipSource::fail_too_large() {
    return fail("gzip: decompressed size exceeds max_bytes (" + std::to_string(max_bytes_) + ")");
}

}  // namespace tarnix::io
