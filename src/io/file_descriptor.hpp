// Owner of an open file descriptor; closes it on destruction or on request.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnix::io {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }

    int get() const { return fd_; }
    // The size of a regular file, known without reading it; nothing for a pipe, a device, etc.
    std::optional<std::uint64_t> regular_file_size() const;
    bool is_open() const { return fd_ >= 0; }
    int release();
    void close();

private:
    int fd_ = -1;
};

}  // namespace tarnix::io
