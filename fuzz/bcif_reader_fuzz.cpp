#include "read_and_assign.hpp"

// Both reads of every input rather than a flag byte, so that the seeds stay BinaryCIF files as
// written; they share all decoding, so this costs a second pass over the same rows.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnix::fuzz::read_and_assign(data, size, tarnix::io::FileFormat::bcif);
    return tarnix::fuzz::read_every_model_and_assign(data, size, tarnix::io::FileFormat::bcif);
}
