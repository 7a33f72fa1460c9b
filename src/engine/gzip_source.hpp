// Decompresses a gzip stream (one or more members) as it is read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "io/byte_source.hpp"

namespace tarnix::engine {

// The two bytes every gzip member starts with.
inline constexpr unsigned char kGzipMagic[2] = {0x1f, 0x8b};

class GzipSource final : public io::ByteSource {
public:
    // Reads compressed bytes from `compressed` (not owned); fails once more than `max_bytes`
    // decompressed bytes would be produced.
    GzipSource(io::ByteSource& compressed, std::uint64_t max_bytes);
    ~GzipSource() override;
    GzipSource(const GzipSource&) = delete;
    GzipSource& operator=(const GzipSource&) = delete;

    std::variant<std::size_t, io::IoError> read(char* buffer, std::size_t size) override;

    // Why decompression stopped early, when it did; reported instead of the reader's text.
    const std::optional<std::string>& failure() const { return failure_; }

private:
    std::variant<std::size_t, io::IoError> fail(std::string message);
    bool refill();

    struct Stream;
    std::unique_ptr<Stream> stream_;
    io::ByteSource& compressed_;
    std::uint64_t max_bytes_;
    std::uint64_t produced_ = 0;
    bool input_done_ = false;
    bool member_done_ = false;
    std::optional<std::string> failure_;
};

}  // namespace tarnix::engine
