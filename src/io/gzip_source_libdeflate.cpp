// The libdeflate decoder: the whole stream at the first read.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <libdeflate.h>

#include "io/gzip_source.hpp"

namespace tarnix::io {
namespace {

// The size a member's trailer states (modulo 2^32): a good first guess for the output buffer.
std::uint64_t stated_size(std::string_view compressed) {
    if (compressed.size() < 18) return 0;
    const auto* tail = reinterpret_cast<const unsigned char*>(compressed.data() + compressed.size() - 4);
    return std::uint64_t{tail[0]} | std::uint64_t{tail[1]} << 8 | std::uint64_t{tail[2]} << 16 |
           std::uint64_t{tail[3]} << 24;
}

enum class Outcome { done, invalid, too_large };

// Storage that is not filled with zeros when it grows, as a string's would be.
struct Buffer {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;

    // Room for at least `size` bytes, the first `kept` of them kept.
    void reserve(std::size_t size, std::size_t kept) {
        if (size <= capacity) return;
        auto larger = std::make_unique_for_overwrite<char[]>(size);
        if (kept > 0) std::memcpy(larger.get(), bytes.get(), kept);
        bytes = std::move(larger);
        capacity = size;
    }
};

// Each thread keeps the buffers of its last input for the next one: fresh ones would cost their
// page faults again for every input. A source alive beside another on the same thread finds none
// spare and allocates its own. Larger buffers are let go, so that one huge input is not held on to
// (by each of a run's many threads); reading such an input costs far more than its page faults.
constexpr std::size_t kKeptAtMost = std::size_t{4} << 20;

struct SpareBuffers {
    Buffer text;
    Buffer compressed;
};

thread_local SpareBuffers spares;

void give_back(Buffer& spare, Buffer&& buffer) {
    if (buffer.capacity <= kKeptAtMost && buffer.capacity > spare.capacity) spare = std::move(buffer);
}

}  // namespace

struct GzipSource::Decoder {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    bool started = false;
    Buffer text = std::exchange(spares.text, Buffer{});
    std::size_t text_size = 0;
    std::size_t offset = 0;

    ~Decoder() {
        if (decompressor != nullptr) libdeflate_free_decompressor(decompressor);
        give_back(spares.text, std::move(text));
    }

    // Member by member: a gzip file may be several members one after another.
    Outcome decompress(std::string_view compressed, std::uint64_t limit) {
        std::uint64_t wanted =
            std::min(limit, std::max<std::uint64_t>({stated_size(compressed), 4 * compressed.size(), 1 << 16}));
        std::size_t in_offset = 0;
        std::size_t out_size = 0;
        while (in_offset < compressed.size()) {
            std::size_t used_in = 0;
            std::size_t produced = 0;
            libdeflate_result result;
            for (;;) {
                text.reserve(static_cast<std::size_t>(wanted), out_size);
                // Never more room than the limit allows, however large a spare buffer is.
                const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(text.capacity, limit));
                result = libdeflate_gzip_decompress_ex(decompressor, compressed.data() + in_offset,
                                                       compressed.size() - in_offset, text.bytes.get() + out_size,
                                                       room - out_size, &used_in, &produced);
                if (result != LIBDEFLATE_INSUFFICIENT_SPACE) break;
                if (room >= limit) return Outcome::too_large;
                wanted = std::min(limit, std::uint64_t{room} * 2);
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
    std::string_view compressed;
    Buffer read_in;
    if (const auto in_place = compressed_.rest_in_memory()) {
        compressed = *in_place;
    } else {
        // Straight into one buffer, doubled when full.
        read_in = std::exchange(spares.compressed, Buffer{});
        std::size_t size = 0;
        for (;;) {
            read_in.reserve(std::max<std::size_t>(std::size_t{1} << 16, size == read_in.capacity ? 2 * size : 0), size);
            auto outcome = compressed_.read(read_in.bytes.get() + size, read_in.capacity - size);
            if (auto* error = std::get_if<io::IoError>(&outcome)) return std::get<io::IoError>(fail(error->message()));
            const std::size_t count = std::get<std::size_t>(outcome);
            if (count == 0) break;
            size += count;
        }
        compressed = std::string_view(read_in.bytes.get(), size);
    }
    const Outcome outcome = d.decompress(compressed, max_bytes_);
    give_back(spares.compressed, std::move(read_in));
    switch (outcome) {
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
    if (count > 0) std::memcpy(buffer, d.text.bytes.get() + d.offset, count);
    d.offset += count;
    return count;
}

std::optional<std::string_view> GzipSource::rest_in_memory() {
    if (decompress_all()) return std::nullopt;
    Decoder& d = *decoder_;
    const std::string_view rest(d.text.bytes.get() + d.offset, d.text_size - d.offset);
    d.offset = d.text_size;
    return rest;
}

}  // namespace tarnix::io
