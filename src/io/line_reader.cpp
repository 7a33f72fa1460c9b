#include "io/line_reader.hpp"

#include <cstring>

#include "io/text.hpp"

namespace tarnix::io {

std::optional<std::string_view> LineReader::next() {
    if (error_) {
        return std::nullopt;
    }
    long_line_.clear();
    for (;;) {
        const std::size_t available = end_ - begin_;
        if (const void* found = std::memchr(buffer_ + begin_, '\n', available)) {
            const char* newline = static_cast<const char*>(found);
            const std::string_view piece(buffer_ + begin_, static_cast<std::size_t>(newline - (buffer_ + begin_)));
            begin_ += piece.size() + 1;
            if (long_line_.empty()) {
                return finish_line(piece, true);
            }
            long_line_.append(piece);
            return finish_line(long_line_, true);
        }
        if (at_eof_) {
            if (available == 0 && long_line_.empty()) {
                return std::nullopt;
            }
            const std::string_view piece(buffer_ + begin_, available);
            begin_ = end_;
            if (long_line_.empty()) {
                return finish_line(piece, false);
            }
            long_line_.append(piece);
            return finish_line(long_line_, false);
        }
        if (begin_ > 0) {
            std::memmove(buffer_, buffer_ + begin_, available);
            end_ = available;
            begin_ = 0;
        }
        if (end_ == kBufferSize) {
            long_line_.append(buffer_, end_);
            end_ = 0;
        }
        auto outcome = source_.read(buffer_ + end_, kBufferSize - end_);
        if (auto* failure = std::get_if<IoError>(&outcome)) {
            error_ = *failure;
            return std::nullopt;
        }
        const std::size_t count = std::get<std::size_t>(outcome);
        if (count == 0) {
            at_eof_ = true;
        }
        end_ += count;
    }
}

std::optional<std::string_view> LineReader::finish_line(std::string_view line, bool had_newline) {
    if (!is_valid_utf8(line)) {
        error_ = IoError::invalid_utf8();
        return std::nullopt;
    }
    if (had_newline && !line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

}  // namespace tarnix::io
