// Where a reader's bytes come from: an open file, a block of memory, or anything that can
// produce a stream (a decompressor, say).
#pragma once

#include <cstddef>
#include <string_view>
#include <variant>

#include "io/file_descriptor.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Up to `size` bytes into `buffer`: the number read (0 only at the end), or the failure.
    virtual std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) = 0;
};

// Reads an open file; owns and closes it.
class FileSource final : public ByteSource {
public:
    explicit FileSource(FileDescriptor file) : file_(std::move(file)) {}
    std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) override;
    void close() { file_.close(); }

private:
    FileDescriptor file_;
};

// Reads bytes that someone else keeps alive for as long as the source is read.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) override;

private:
    std::string_view bytes_;
};

}  // namespace tarnix::io
