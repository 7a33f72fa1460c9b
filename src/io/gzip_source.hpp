// Decompresses a gzip stream (one or more members) for a reader.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "io/byte_source.hpp"

namespace tarnix::io {

// The two bytes every gzip member starts with.
inline constexpr unsigned char kGzipMagic[2] = {0x1f, 0x8b};

// The build picks the decoder: libdeflate where it is installed (the whole stream at the first
// read, about twice as fast), zlib otherwise (piece by piece). Results and messages are the same.
class GzipSource final : public io::ByteSource {
public:
    // Reads compressed bytes from `compressed` (not owned); fails when the decompressed size
    // would exceed `max_bytes`.
    GzipSource(io::ByteSource& compressed, std::uint64_t max_bytes);
    ~GzipSource() override;
    GzipSource(const GzipSource&) = delete;
    GzipSource& operator=(const GzipSource&) = delete;

    std::variant<std::size_t, io::IoError> read(char* buffer, std::size_t size) override;
    // The decompressed text in place, where the decoder holds the whole of it (libdeflate).
    std::optional<std::string_view> rest_in_memory() override;

    // Why decompression failed, when it did; reported instead of the reader's text.
    const std::optional<std::string>& failure() const { return failure_; }

private:
    std::optional<io::IoError> decompress_all();  // libdeflate: the whole stream at once
    std::variant<std::size_t, io::IoError> fail(std::string message);
    std::variant<std::size_t, io::IoError> fail_too_large();
    std::variant<std::size_t, io::IoError> fail_invalid() { return fail("gzip: invalid or truncated compressed data"); }

    struct Decoder;
    std::unique_ptr<Decoder> decoder_;
    io::ByteSource& compressed_;
    std::uint64_t max_bytes_;
    std::optional<std::string> failure_;
};

}  // namespace tarnix::io
