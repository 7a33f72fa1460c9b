#include "io/byte_source.hpp"

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnix::io {

std::variant<std::size_t, IoError> FileSource::read(char* buffer, std::size_t size) {
    for (;;) {
        if (stop_requested()) return IoError::os(EINTR);
        const ssize_t count = ::read(file_.get(), buffer, size);
        if (count >= 0) return static_cast<std::size_t>(count);
        if (errno != EINTR) return IoError::os(errno);
    }
}

std::variant<std::size_t, IoError> MemorySource::read(char* buffer, std::size_t size) {
    const std::size_t count = std::min(size, bytes_.size());
    if (count > 0) {
        std::memcpy(buffer, bytes_.data(), count);
        bytes_.remove_prefix(count);
    }
    return count;
}

}  // namespace tarnix::io
