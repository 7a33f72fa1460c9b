#include "io/line_reader.hpp"

#include "io/text.hpp"

namespace tarnix::io {

void LineReader::start() {
    started_ = true;
    if (const auto bytes = source_.rest_in_memory()) {
        buffer_ = bytes->empty() ? "" : bytes->data();  // memchr wants a pointer even for nothing
        end_ = bytes->size();
        at_eof_ = true;
        in_place_ = true;
        return;
    }
    storage_.reset(new char[kBufferSize]);
    buffer_ = storage_.get();
}

std::optional<std::string_view> LineReader::next_in_general() {
    if (error_) {
        return std::nullopt;
    }
    if (!started_) {
        start();
    }
    long_line_.clear();
    for (;;) {
        const std::size_t available = end_ - begin_;
        if (const void* found = std::memchr(buffer_ + begin_, '\n', available)) {
            const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_);
            const std::string_view piece(buffer_ + begin_, stop - begin_);
            const bool ascii = long_line_.empty() && buffered_ascii(begin_, stop);
            begin_ = stop + 1;
            if (long_line_.empty()) {
                return finish_line(piece, true, ascii);
            }
            long_line_.append(piece);
            return finish_line(long_line_, true, false);
        }
        if (at_eof_) {
            if (available == 0 && long_line_.empty()) {
                return std::nullopt;
            }
            const std::string_view piece(buffer_ + begin_, available);
            const bool ascii = long_line_.empty() && buffered_ascii(begin_, end_);
            begin_ = end_;
            if (long_line_.empty()) {
                return finish_line(piece, false, ascii);
            }
            long_line_.append(piece);
            return finish_line(long_line_, false, false);
        }
        if (begin_ > 0) {
            std::memmove(storage_.get(), buffer_ + begin_, available);
            ascii_end_ = ascii_end_ > begin_ ? ascii_end_ - begin_ : 0;
            end_ = available;
            begin_ = 0;
        }
        if (end_ == kBufferSize) {
            long_line_.append(buffer_, end_);
            end_ = 0;
            ascii_end_ = 0;
        }
        auto outcome = source_.read(storage_.get() + end_, kBufferSize - end_);
        if (auto* failure = std::get_if<IoError>(&outcome)) {
            error_ = *failure;
            return std::nullopt;
        }
        const std::size_t count = std::get<std::size_t>(outcome);
        if (count == 0) {
            at_eof_ = true;
        }
        const bool caught_up = ascii_end_ == end_;
        end_ += count;
        if (caught_up) {
            buffered_ascii(ascii_end_, end_);
        }
    }
}

bool LineReader::buffered_ascii(std::size_t begin, std::size_t end) {
    if (ascii_end_ < begin) {
        ascii_end_ = begin;
    }
    if (ascii_end_ < end) {
        // A buffer's length ahead at most: bytes in place may be many, and are better checked
        // just before their lines are read, while they are in cache.
        const std::size_t ahead = std::min(end_, std::max(end, ascii_end_ + kBufferSize));
        ascii_end_ += ascii_prefix_length(std::string_view(buffer_ + ascii_end_, ahead - ascii_end_));
    }
    return end <= ascii_end_;
}

std::optional<std::string_view> LineReader::finish_line(std::string_view line, bool had_newline, bool ascii) {
    if (!ascii && !is_valid_utf8(line)) {
        error_ = IoError::invalid_utf8();
        return std::nullopt;
    }
    line_is_ascii_ = ascii;
    if (had_newline && !line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

}  // namespace tarnix::io
