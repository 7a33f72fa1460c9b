// Reads lines from a byte source through a fixed 8192-byte buffer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "io/byte_source.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

class LineReader {
public:
    static constexpr std::size_t kBufferSize = 8192;

    // Does not own the source.
    explicit LineReader(ByteSource& source) : source_(source) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line without its "\n" (or "\r\n"); the view lives until the next call.
    // Returns nothing at the end of the file and after a failure; error() tells which.
    std::optional<std::string_view> next();

    const std::optional<IoError>& error() const { return error_; }

private:
    std::optional<std::string_view> finish_line(std::string_view line, bool had_newline);

    ByteSource& source_;
    char buffer_[kBufferSize];
    std::size_t begin_ = 0;  // first unconsumed byte
    std::size_t end_ = 0;    // one past the last byte read
    bool at_eof_ = false;
    std::string long_line_;  // the start of a line longer than the buffer
    std::optional<IoError> error_;
};

}  // namespace tarnix::io
