// Where one core's time goes when annotating a set of structure files: every phase of the
// engine's per-input work timed apart, in CPU time of the calling thread, over all the files.
//
// Build and run from the repository root:
//   cmake -S . -B build-bench -DTARNIX_BUILD_PYTHON=OFF -DTARNIX_BUILD_BENCH=ON
//   cmake --build build-bench -j 2 --target tarnix_phase_bench
//   build-bench/tarnix_phase_bench 5 $(find DIR -name '*.gz')
//
// Arguments: passes, then the files (plain or gzipped; the format by the name). The files are
// read into memory first, so the disk is left out. Each pass runs, per file: gzip decompression,
// the reader on the decompressed text, the secondary-structure phases one by one, the
// accessibility phase and the residue table. Then, apart, the engine's whole annotate_input on
// the same bytes, which the sum of the phases should come close to. Prints per phase the median
// over the passes of its CPU seconds, its share, and residues per CPU second of the whole.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/assign.hpp"
#include "core/geometry.hpp"
#include "core/hbond.hpp"
#include "core/helix.hpp"
#include "core/sasa.hpp"
#include "core/strand.hpp"
#include "engine/annotate_input.hpp"
#include "engine/residue_table.hpp"
#include "io/byte_source.hpp"
#include "io/formats.hpp"
#include "io/gzip_source.hpp"

namespace {

using namespace tarnix;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Adds the CPU time since the last lap to the named phase.
class Laps {
public:
    explicit Laps(std::map<std::string, double>& totals) : totals_(totals), last_(cpu_seconds()) {}
    void lap(const std::string& phase) {
        const double now = cpu_seconds();
        totals_[phase] += now - last_;
        last_ = now;
    }

private:
    std::map<std::string, double>& totals_;
    double last_;
};

struct File {
    std::string name;
    std::string bytes;
};

// A file's text: its bytes, or what they decompress to, taken in place as the engine takes it
// when the decoder holds the whole text (libdeflate), else copied out piece by piece (zlib).
class Text {
public:
    explicit Text(const File& file) : memory_(file.bytes) {
        if (file.bytes.size() < 2 || static_cast<unsigned char>(file.bytes[0]) != io::kGzipMagic[0]) {
            view_ = file.bytes;
            return;
        }
        io::GzipSource& gzip = gzip_.emplace(memory_, std::uint64_t{1} << 31);
        if (const auto rest = gzip.rest_in_memory()) {
            view_ = *rest;
            return;
        }
        char chunk[1 << 16];
        for (;;) {
            auto outcome = gzip.read(chunk, sizeof chunk);
            if (std::holds_alternative<io::IoError>(outcome) || std::get<std::size_t>(outcome) == 0) break;
            copy_.append(chunk, std::get<std::size_t>(outcome));
        }
        view_ = copy_;
    }

    std::string_view view() const { return view_; }

private:
    io::MemorySource memory_;
    std::optional<io::GzipSource> gzip_;
    std::string copy_;
    std::string_view view_;
};

// One pass over the files, phase by phase; returns the residues read.
std::size_t phases(const std::vector<File>& files, std::map<std::string, double>& totals) {
    std::size_t residues = 0;
    Laps laps(totals);
    for (const File& file : files) {
        const Text text(file);
        laps.lap("gzip");
        const io::FileFormat format = io::format_for_name(file.name);
        io::MemorySource source(text.view());
        io::ReadResult read = io::parse(format, source);
        laps.lap(format == io::FileFormat::pdb ? "parse pdb" : "parse mmcif");
        auto* structure = std::get_if<core::Structure>(&read);
        if (structure == nullptr || structure->residues.empty()) continue;
        residues += structure->residues.size();
        std::vector<core::Residue>& rs = structure->residues;
        core::number_and_group(*structure);
        const core::Segments segments = core::detect_chain_breaks(rs, structure->chains);
        core::compute_backbone_geometry(rs, segments);
        laps.lap("ss: geometry");
        const core::HydrogenBonds bonds = core::collect_hydrogen_bonds(rs);
        laps.lap("ss: hydrogen bonds");
        core::assign_strands(rs, bonds.bridge_pairs, bonds.passing, segments);
        laps.lap("ss: strands");
        core::CodeTable codes = core::load_codes(rs);
        core::find_turns(codes, bonds.passing, segments);
        core::mark_bends(codes);
        core::assign_helices(codes);
        core::assign_ppii(codes, 3);
        core::assign_turns_and_bends(codes);
        core::store_codes(codes, rs);
        laps.lap("ss: turns, helices, ppii");
        core::compute_accessibility(rs, 100);
        laps.lap("accessibility");
        const engine::ResidueTable table = engine::residue_table(*structure, 0, true);
        laps.lap("residue table");
    }
    return residues;
}

double whole_annotate(const std::vector<File>& files) {
    const double start = cpu_seconds();
    const engine::AnnotateOptions options;
    for (const File& file : files) {
        engine::Input input{file.name, std::string_view(file.bytes), std::nullopt, std::nullopt};
        const engine::AnnotatedInput out = engine::annotate_input(input, 0, options);
        if (!out.error.empty() && !out.no_protein) std::fprintf(stderr, "%s: %s\n", file.name.c_str(), out.error.c_str());
    }
    return cpu_seconds() - start;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PASSES FILE...\n", argv[0]);
        return 2;
    }
    const int passes = std::max(1, std::atoi(argv[1]));
    std::vector<File> files;
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        files.push_back(File{argv[i], std::string(std::istreambuf_iterator<char>(in), {})});
    }
    std::map<std::string, std::vector<double>> per_phase;
    std::vector<double> wholes;
    std::size_t residues = 0;
    for (int pass = 0; pass < passes; ++pass) {
        std::map<std::string, double> totals;
        residues = phases(files, totals);
        for (const auto& [phase, seconds] : totals) per_phase[phase].push_back(seconds);
        wholes.push_back(whole_annotate(files));
    }
    double sum = 0.0;
    for (const auto& [phase, seconds] : per_phase) sum += median(seconds);
    std::printf("%zu files, %zu residues, median of %d passes, CPU seconds of this thread\n", files.size(), residues,
                passes);
    for (const auto& [phase, seconds] : per_phase) {
        std::printf("  %-26s %8.3f s  %5.1f %%\n", phase.c_str(), median(seconds), 100.0 * median(seconds) / sum);
    }
    std::printf("  %-26s %8.3f s  %8.0f residues/s\n", "sum of the phases", sum, static_cast<double>(residues) / sum);
    const double whole = median(wholes);
    std::printf("  %-26s %8.3f s  %8.0f residues/s\n", "annotate_input, whole", whole,
                static_cast<double>(residues) / whole);
    return 0;
}
