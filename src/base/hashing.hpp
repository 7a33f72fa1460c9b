// The one hashing scheme behind the program's hash tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnix::base {

// FNV-1a over words, finished with a 64-bit avalanche so that every input bit reaches the low
// bits that bucket indices are taken from.
class Hasher {
public:
    Hasher& add(std::uint64_t word) {
        state_ = (state_ ^ word) * 0x100000001b3ULL;
        return *this;
    }

    // The bytes, then an end mark no byte can equal: ("AB", "") and ("A", "B") differ.
    Hasher& add_bytes(std::string_view bytes) {
        for (const char c : bytes) add(static_cast<unsigned char>(c));
        return add(0x100);
    }

    std::size_t value() const {
        std::uint64_t h = state_;
        h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
        h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
        return static_cast<std::size_t>(h ^ (h >> 31));
    }

private:
    std::uint64_t state_ = 0xcbf29ce484222325ULL;
};

}  // namespace tarnix::base
