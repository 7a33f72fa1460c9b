#include "io/file_descriptor.hpp"

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

void FileDescriptor::close() {
    if (fd_ >= 0) {
        // Not retried on EINTR: on Linux the descriptor is released even then.
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace tarnix::io
