// The libdeflate decoder: the whole stream at the first read.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <libdeflate.h>

#include "io/gzip_source.hpp"

namespace tarnix::io {
namespace {

// The size a member's trailer states (modulo 2^32): a good first guess for the output buffer.
std::uint64_t stated_size(const std::string& compressed) {
    if (compressed.size() < 18) return 0;
    const auto* tail = reinterpret_cast<const unsigned char*>(compressed.data() + compressed.size() - 4);
    return std::uint64_t{tail[0]} | std::uint64_t{tail[1]} << 8 | std::uint64_t{tail[2]} << 16 |
           std::uint64_t{tail[3]} << 24;
}

enum class Outcome { done, invalid, too_large };

}  // namespace

struct GzipSource::Decoder {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    bool started = false;
    // The decompressed text: not a string, whose resizing would first fill it with zeros.
    std::unique_ptr<char[]> text;
    std::size_t text_size = 0;
    std::size_t offset = 0;

    ~Decoder() {
        if (decompressor != nullptr) libdeflate_free_decompressor(decompressor);
    }

    // Member by member: a gzip file may be several members one after another.
    Outcome decompress(const std::string& compressed, std::uint64_t limit) {
        std::uint64_t capacity =
            std::min(limit, std::max<std::uint64_t>({stated_size(compressed), 4 * compressed.size(), 1 << 16}));
        std::size_t in_offset = 0;
        std::size_t out_size = 0;
        std::size_t room = 0;
        while (in_offset < compressed.size()) {
            std::size_t used_in = 0;
            std::size_t produced = 0;
            libdeflate_result result;
            for (;;) {
                if (room < capacity) {
                    auto larger = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(capacity));
                    if (out_size > 0) std::memcpy(larger.get(), text.get(), out_size);
                    text = std::move(larger);
                    room = static_cast<std::size_t>(capacity);
                }
                result = libdeflate_gzip_decompress_ex(decompressor, compressed.data() + in_offset,
                                                       compressed.size() - in_offset, text.get() + out_size,
                                                       room - out_size, &used_in, &produced);
                if (result != LIBDEFLATE_INSUFFICIENT_SPACE) break;
                if (capacity >= limit) return Outcome::too_large;
                capacity = std::min(limit, capacity * 2);
            }
            if (result != LIBDEFLATE_SUCCESS) return Outcome::invalid;
            in_offset += used_in;
            out_size += produced;
        }
        text_size = out_size;
        return Outcome::done;
    }
};

GzipSource::GzipSource(io::ByteSource& compressed, std::uint64_t max_bytes)
    : decoder_(std::make_unique<Decoder>()), compressed_(compressed), max_bytes_(max_bytes) {
    if (decoder_->decompressor == nullptr) throw std::bad_alloc();
}

GzipSource::~GzipSource() = default;

// Reads and decompresses the whole stream at the first call; nothing when that worked.
std::optional<io::IoError> GzipSource::decompress_all() {
    if (failure_) return io::IoError::os(EIO);
    Decoder& d = *decoder_;
    if (d.started) return std::nullopt;
    d.started = true;
    std::string compressed;
    char chunk[1 << 16];
    for (;;) {
        auto outcome = compressed_.read(chunk, sizeof chunk);
        if (auto* error = std::get_if<io::IoError>(&outcome)) return std::get<io::IoError>(fail(error->message()));
        const std::size_t count = std::get<std::size_t>(outcome);
        if (count == 0) break;
        compressed.append(chunk, count);
    }
    switch (d.decompress(compressed, max_bytes_)) {
        case Outcome::done: return std::nullopt;
        case Outcome::invalid: return std::get<io::IoError>(fail_invalid());
        case Outcome::too_large: return std::get<io::IoError>(fail_too_large());
    }
    return std::nullopt;
}

std::variant<std::size_t, io::IoError> GzipSource::read(char* buffer, std::size_t size) {
    if (auto error = decompress_all()) return *error;
    Decoder& d = *decoder_;
    const std::size_t count = std::min(size, d.text_size - d.offset);
    if (count > 0) std::memcpy(buffer, d.text.get() + d.offset, count);
    d.offset += count;
    return count;
}

std::optional<std::string_view> GzipSource::rest_in_memory() {
    if (decompress_all()) return std::nullopt;
    Decoder& d = *decoder_;
    const std::string_view rest(d.text.get() + d.offset, d.text_size - d.offset);
    d.offset = d.text_size;
    return rest;
}

}  // namespace tarnix::io
