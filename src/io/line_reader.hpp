// Reads lines from a byte source through a fixed buffer.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "io/byte_source.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

class LineReader {
public:
    // Large reads: a file in the page cache costs fewer system calls and copies (8 KiB reads
    // made reading 4 % slower). The buffer lives on the heap, as a caller's thread may have a
    // small stack.
    static constexpr std::size_t kBufferSize = 65536;

    // Does not own the source.
    explicit LineReader(ByteSource& source) : source_(source) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next line without its "\n" (or "\r\n"); the view lives until the next call.
    // Returns nothing at the end of the file and after a failure; error() tells which.
    std::optional<std::string_view> next() {
        // Most lines lie whole in the buffer and in its part already known to be ASCII.
        if (!error_ && started_) {
            if (const void* found = std::memchr(buffer_ + begin_, '\n', end_ - begin_)) {
                const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_);
                if (stop <= ascii_end_) {
                    std::string_view line(buffer_ + begin_, stop - begin_);
                    begin_ = stop + 1;
                    line_is_ascii_ = true;
                    if (!line.empty() && line.back() == '\r') {
                        line.remove_suffix(1);
                    }
                    return line;
                }
            }
        }
        return next_in_general();
    }

    const std::optional<IoError>& error() const { return error_; }

    // Whether the line last returned is known to be all ASCII (false when unknown).
    bool line_is_ascii() const { return line_is_ascii_; }

    // Whether the lines returned view the source's own memory, so that they stay valid for as
    // long as the source lives rather than until the next call.
    bool lines_outlive_calls() const { return in_place_; }

private:
    std::optional<std::string_view> next_in_general();
    // Takes the source's bytes in place when it holds them all, else allocates the buffer.
    void start();
    std::optional<std::string_view> finish_line(std::string_view line, bool had_newline, bool ascii);
    // Whether buffer_[begin, end) is all ASCII, moving ascii_end_ forward when it lags.
    bool buffered_ascii(std::size_t begin, std::size_t end);

    ByteSource& source_;
    std::unique_ptr<char[]> storage_;
    const char* buffer_ = nullptr;  // storage_, or the source's bytes in place
    bool started_ = false;
    bool in_place_ = false;
    std::size_t begin_ = 0;  // first unconsumed byte
    std::size_t end_ = 0;    // one past the last byte read
    bool at_eof_ = false;
    // Buffered bytes are checked for ASCII in whole blocks, so most lines need no UTF-8 check;
    // buffer_[begin_, ascii_end_) is all ASCII whenever ascii_end_ >= begin_.
    std::size_t ascii_end_ = 0;
    bool line_is_ascii_ = false;
    std::string long_line_;  // the start of a line longer than the buffer
    std::optional<IoError> error_;
};

}  // namespace tarnix::io
