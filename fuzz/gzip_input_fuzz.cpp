// An in-memory input of the companion package's engine: gzip detection and decompression in
// front of either reader (the first byte chooses which, or leaves it to the content, and whether
// every model is read), then the whole computation and the residue table.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/annotate_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    tarnix::engine::Input input;
    input.name = (data[0] & 4) != 0 ? "input" : (data[0] & 1) != 0 ? "input.cif.gz" : "input.pdb.gz";
    input.bytes.emplace(reinterpret_cast<const char*>(data + 1), size - 1);
    tarnix::engine::AnnotateOptions options;
    options.max_bytes = std::uint64_t{64} << 20;
    options.every_model = (data[0] & 2) != 0;
    tarnix::engine::annotate_models(input, 0, options);
    return 0;
}
