#include "read_and_assign.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return tarnix::fuzz::read_and_assign(data, size, tarnix::io::FileFormat::bcif);
}
