// The zlib decoder: inflates piece by piece as the reader asks.
#include <algorithm>
#include <climits>

#include <zlib.h>

#include "io/gzip_source.hpp"

namespace tarnix::io {

struct GzipSource::Decoder {
    z_stream z{};
    unsigned char input[1 << 16];
    bool initialised = false;
    bool input_done = false;
    bool member_done = false;
    std::uint64_t produced = 0;

    ~Decoder() {
        if (initialised) inflateEnd(&z);
    }
};

GzipSource::GzipSource(io::ByteSource& compressed, std::uint64_t max_bytes)
    : decoder_(std::make_unique<Decoder>()), compressed_(compressed), max_bytes_(max_bytes) {
    // 16 + MAX_WBITS: a gzip wrapper, not a raw or zlib one.
    decoder_->initialised = inflateInit2(&decoder_->z, 16 + MAX_WBITS) == Z_OK;
}

GzipSource::~GzipSource() = default;

std::variant<std::size_t, io::IoError> GzipSource::read(char* buffer, std::size_t size) {
    if (failure_) return io::IoError::os(EIO);
    Decoder& d = *decoder_;
    if (!d.initialised) return fail("gzip: cannot start the decompressor");
    z_stream& z = d.z;
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    while (z.avail_out > 0) {
        if (z.avail_in == 0 && !d.input_done) {
            auto outcome = compressed_.read(reinterpret_cast<char*>(d.input), sizeof d.input);
            if (auto* error = std::get_if<io::IoError>(&outcome)) return fail(error->message());
            const std::size_t count = std::get<std::size_t>(outcome);
            d.input_done = count == 0;
            z.next_in = d.input;
            z.avail_in = static_cast<uInt>(count);
        }
        if (d.member_done) {
            // Bytes after a member start another member (a concatenated gzip file).
            if (z.avail_in == 0 && d.input_done) break;
            inflateReset(&z);
            d.member_done = false;
        }
        if (z.avail_in == 0 && d.input_done) return fail_invalid();  // cut off inside a member
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            d.member_done = true;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            return fail_invalid();
        }
    }
    const std::size_t count = size - z.avail_out;
    d.produced += count;
    if (d.produced > max_bytes_) return fail_too_large();
    return count;
}

// Inflated piece by piece, the text is never whole in memory.
std::optional<std::string_view> GzipSource::rest_in_memory() { return std::nullopt; }

}  // namespace tarnix::io
