// The accessibility phase alone over a set of structure files: its CPU time, and a digest of
// every value's bits, so that two builds can be compared for speed and for identical results.
//
// Build and run from the repository root:
//   cmake -S . -B build-bench -DTARNIX_BUILD_PYTHON=OFF -DTARNIX_BUILD_BENCH=ON
//   cmake --build build-bench -j 2 --target tarnix_sasa_files
//   build-bench/tarnix_sasa_files 5 $(find DIR -name '*.gz' | head -30)
//
// Arguments: passes, then the files (read by the name's format, gzipped or not). The files are
// read once; each pass runs the phase on a fresh copy of every structure with the default
// kernel. Prints the median over the passes of the calling thread's CPU seconds, then, for
// every kernel the processor runs, a digest of the bits of all residues' values and whether it
// matches the default kernel's. With TARNIX_SASA_DUMP set, also prints every value's bits;
// with TARNIX_SASA_NO_CHECK set, only times (for a profiler).
#include <time.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "base/hashing.hpp"
#include "core/sasa.hpp"
#include "io/byte_source.hpp"
#include "io/formats.hpp"
#include "io/gzip_source.hpp"

namespace {

using tarnix::core::Residue;
using tarnix::core::SasaKernel;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A file's text: its bytes, or what they decompress to.
std::string text_of(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != tarnix::io::kGzipMagic[0]) return bytes;
    tarnix::io::MemorySource memory(bytes);
    tarnix::io::GzipSource gzip(memory, std::uint64_t{1} << 31);
    std::string text;
    char chunk[1 << 16];
    for (;;) {
        auto outcome = gzip.read(chunk, sizeof chunk);
        if (std::holds_alternative<tarnix::io::IoError>(outcome) || std::get<std::size_t>(outcome) == 0) break;
        text.append(chunk, std::get<std::size_t>(outcome));
    }
    return text;
}

std::uint64_t digest(const std::vector<std::vector<Residue>>& structures, bool dump) {
    tarnix::base::Hasher hasher;
    for (std::size_t s = 0; s < structures.size(); ++s) {
        for (const Residue& r : structures[s]) {
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(r.accessibility);
            hasher.add(bits);
            if (dump) std::printf("%zu %08x\n", s, bits);
        }
    }
    return hasher.value();
}

std::vector<std::vector<Residue>> run(const std::vector<std::vector<Residue>>& inputs, SasaKernel kernel) {
    std::vector<std::vector<Residue>> out = inputs;
    for (auto& residues : out) tarnix::core::compute_accessibility(residues, 100, kernel);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PASSES FILE...\n", argv[0]);
        return 2;
    }
    const int passes = std::max(1, std::atoi(argv[1]));
    std::vector<std::vector<Residue>> inputs;
    std::size_t residues = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string text = text_of(argv[i]);
        tarnix::io::MemorySource source(text);
        auto read = tarnix::io::parse(tarnix::io::format_for_name(argv[i]), source);
        if (auto* structure = std::get_if<tarnix::core::Structure>(&read)) {
            residues += structure->residues.size();
            inputs.push_back(std::move(structure->residues));
        }
    }
    const SasaKernel chosen = tarnix::core::default_sasa_kernel();
    std::vector<double> seconds;
    for (int pass = 0; pass < passes; ++pass) {
        std::vector<std::vector<Residue>> copy = inputs;
        const double start = cpu_seconds();
        for (auto& rs : copy) tarnix::core::compute_accessibility(rs, 100, chosen);
        seconds.push_back(cpu_seconds() - start);
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%zu structures, %zu residues, median of %d passes: %.4f s\n", inputs.size(), residues, passes,
                seconds[seconds.size() / 2]);
    if (std::getenv("TARNIX_SASA_NO_CHECK") != nullptr) return 0;
    const std::uint64_t reference = digest(run(inputs, chosen), std::getenv("TARNIX_SASA_DUMP") != nullptr);
    for (SasaKernel kernel : {SasaKernel::Baseline, SasaKernel::Avx2, SasaKernel::Avx512}) {
        if (!tarnix::core::sasa_kernel_supported(kernel)) continue;
        const std::uint64_t d = digest(run(inputs, kernel), false);
        std::printf("kernel %d digest %016llx%s\n", static_cast<int>(kernel), static_cast<unsigned long long>(d),
                    d == reference ? "" : "  DIFFERS");
    }
    return 0;
}
