// Where a reader's bytes come from: an open file, a block of memory, or anything that can
// produce a stream (a decompressor, say).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "io/file_descriptor.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Up to `size` bytes into `buffer`: the number read (0 only at the end), or the failure.
    virtual std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) = 0;

    // All the bytes not yet read, when the source already holds them in memory and keeps them
    // there unchanged for as long as it lives: a reader can then look at them in place instead
    // of copying them out. They count as read. Nothing otherwise, and read() goes on as before
    // (returning the failure, if that is why).
    virtual std::optional<std::string_view> rest_in_memory() { return std::nullopt; }
};

// Lets the owner of a blocking open or read stop it: a read from a pipe or a device can wait
// forever, or never end. Asked before each read and whenever a signal interrupts the call;
// once it has answered yes, the call fails and stopped() stays true.
class Interruption {
public:
    virtual ~Interruption() = default;

    bool stop_requested() {
        if (!stopped_ && poll()) stopped_ = true;
        return stopped_;
    }
    bool stopped() const { return stopped_; }

protected:
    virtual bool poll() = 0;

private:
    bool stopped_ = false;
};

// Reads an open file; owns and closes it. A read cut short by a signal is retried unless the
// interruption, when there is one, asks to stop; then it fails with EINTR.
class FileSource final : public ByteSource {
public:
    explicit FileSource(FileDescriptor file, Interruption* interruption = nullptr)
        : file_(std::move(file)), interruption_(interruption) {}
    std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) override;
    void close() { file_.close(); }

private:
    bool stop_requested() { return interruption_ != nullptr && interruption_->stop_requested(); }

    FileDescriptor file_;
    Interruption* interruption_;
};

// Reads `length` bytes of an open file from `offset` on (a member of an archive, say), whatever the
// file's own position: the members of one archive share its descriptor, read by position only, so
// that a file put in its place meanwhile is never read. A file that ends before the range does is
// an error.
class FileRangeSource final : public ByteSource {
public:
    FileRangeSource(std::shared_ptr<const FileDescriptor> file, std::uint64_t offset, std::uint64_t length)
        : file_(std::move(file)), offset_(offset), remaining_(length) {}
    std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) override;

private:
    std::shared_ptr<const FileDescriptor> file_;
    std::uint64_t offset_;
    std::uint64_t remaining_;
};

// Reads bytes that someone else keeps alive for as long as the source is read.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) override;
    std::optional<std::string_view> rest_in_memory() override { return std::exchange(bytes_, std::string_view()); }

private:
    std::string_view bytes_;
};

}  // namespace tarnix::io
