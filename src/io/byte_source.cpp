#include "io/byte_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tarnix::io {

std::variant<std::size_t, IoError> FileSource::read(char* buffer, std::size_t size) {
    ssize_t count;
    do {
        count = ::read(file_.get(), buffer, size);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return IoError::os(errno);
    }
    return static_cast<std::size_t>(count);
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
