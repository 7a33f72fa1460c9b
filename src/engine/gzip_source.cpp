#include "engine/gzip_source.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <zlib.h>

namespace tarnix::engine {

struct GzipSource::Stream {
    z_stream z{};
    unsigned char input[1 << 16];
    bool initialised = false;
};

GzipSource::GzipSource(io::ByteSource& compressed, std::uint64_t max_bytes)
    : stream_(std::make_unique<Stream>()), compressed_(compressed), max_bytes_(max_bytes) {
    // 16 + MAX_WBITS: a gzip wrapper, not a raw or zlib one.
    stream_->initialised = inflateInit2(&stream_->z, 16 + MAX_WBITS) == Z_OK;
}

GzipSource::~GzipSource() {
    if (stream_->initialised) inflateEnd(&stream_->z);
}

std::variant<std::size_t, io::IoError> GzipSource::fail(std::string message) {
    failure_ = std::move(message);
    return io::IoError::os(EIO);
}

bool GzipSource::refill() {
    auto outcome = compressed_.read(reinterpret_cast<char*>(stream_->input), sizeof stream_->input);
    if (auto* error = std::get_if<io::IoError>(&outcome)) {
        failure_ = error->message();
        return false;
    }
    const std::size_t count = std::get<std::size_t>(outcome);
    if (count == 0) input_done_ = true;
    stream_->z.next_in = stream_->input;
    stream_->z.avail_in = static_cast<uInt>(count);
    return true;
}

std::variant<std::size_t, io::IoError> GzipSource::read(char* buffer, std::size_t size) {
    if (failure_) return io::IoError::os(EIO);
    if (!stream_->initialised) return fail("gzip: cannot start the decompressor");
    z_stream& z = stream_->z;
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    while (z.avail_out > 0) {
        if (z.avail_in == 0 && !input_done_ && !refill()) return io::IoError::os(EIO);
        if (member_done_) {
            // Bytes after a member start another member (a concatenated gzip file).
            if (z.avail_in == 0 && input_done_) break;
            inflateReset(&z);
            member_done_ = false;
        }
        if (z.avail_in == 0 && input_done_) {
            return fail("gzip: unexpected end of compressed data");
        }
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            member_done_ = true;
        } else if (status == Z_BUF_ERROR) {
            continue;  // needs more input; the loop refills or reports the truncation
        } else if (status != Z_OK) {
            return fail(std::string("gzip: ") + (z.msg != nullptr ? z.msg : "invalid compressed data"));
        }
    }
    const std::size_t count = size - z.avail_out;
    produced_ += count;
    if (produced_ > max_bytes_) {
        return fail("gzip: decompressed size exceeds max_bytes (" + std::to_string(max_bytes_) + ")");
    }
    return count;
}

}  // namespace tarnix::engine
