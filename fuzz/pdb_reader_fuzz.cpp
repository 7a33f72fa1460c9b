#include "read_and_assign.hpp"

// Both reads of every input rather than a flag byte, so that the seeds stay files as written;
// the every-model read must agree with the first-model read on model 1.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnix::fuzz::read_and_assign(data, size, tarnix::io::FileFormat::pdb);
    if (!tarnix::fuzz::read_every_model_and_assign(data, size, tarnix::io::FileFormat::pdb)) __builtin_trap();
    return 0;
}
