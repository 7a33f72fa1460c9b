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

std::variant<std::size_t, IoError> FileRangeSource::read(char* buffer, std::size_t size) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
    if (wanted == 0) return std::size_t{0};
    for (;;) {
        const ssize_t count = ::pread(file_->get(), buffer, wanted, static_cast<off_t>(offset_));
        if (count > 0) {
            offset_ += static_cast<std::uint64_t>(count);
            remaining_ -= static_cast<std::uint64_t>(count);
            return static_cast<std::size_t>(count);
        }
        // The file is shorter than the range now: it changed since the range was taken.
        if (count == 0) return IoError::os(EIO);
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
