// Caps how many bytes a reader takes from a source.
#pragma once

#include <cstdint>
#include <string>

#include "io/byte_source.hpp"

namespace tarnix::io {

// The failure text of an input longer than the caller accepts.
std::string exceeds_max_bytes_text(std::uint64_t max_bytes);

// Passes the bytes of `inner` (not owned) on until more than `limit` would come; then fails, so
// that a stream that never ends, or a line that never ends, costs at most `limit` bytes.
class LimitedSource final : public ByteSource {
public:
    LimitedSource(ByteSource& inner, std::uint64_t limit) : inner_(inner), remaining_(limit) {}
    std::variant<std::size_t, IoError> read(char* buffer, std::size_t size) override;
    // The inner source's bytes in place, when it has them and they are within the limit; when
    // they are beyond it, nothing, and the next read fails as exceeded.
    std::optional<std::string_view> rest_in_memory() override;

    bool exceeded() const { return exceeded_; }

private:
    ByteSource& inner_;
    std::uint64_t remaining_;
    bool exceeded_ = false;
};

}  // namespace tarnix::io
