#include "io/file_descriptor.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace tarnix::io {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

std::optional<std::uint64_t> FileDescriptor::regular_file_size() const {
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

void FileDescriptor::close() {
    if (fd_ >= 0) {
        // Not retried on EINTR: on Linux the descriptor is released even then.
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace tarnix::io
