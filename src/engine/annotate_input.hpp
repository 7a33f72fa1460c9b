// One input of an annotation run, from its bytes to its table rows: open or take the bytes,
// decompress gzip, read, run the core, tabulate.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/assign.hpp"
#include "core/structure.hpp"
#include "engine/residue_table.hpp"
#include "io/file_descriptor.hpp"
#include "io/formats.hpp"

namespace tarnix::engine {

// Bytes `offset` to `offset + length` of an open file: a member of an uncompressed archive, read
// where it lies in the archive opened once for the run (never again by its path, which may name
// another file by now).
struct FileRange {
    std::shared_ptr<const io::FileDescriptor> file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// A file named by its path (the file system's bytes), or bytes in memory with a name (kept alive
// by the caller until the input is done: never copied), or a range of a file with a name, or an
// input that already failed before it got here (an unreadable archive member, say).
struct Input {
    std::string name;
    std::optional<std::string_view> bytes;
    std::optional<FileRange> range;
    std::optional<std::string> failure;
    // A file found by a walk rather than named: only a regular file is read (a FIFO put in its
    // place since would block a worker).
    bool regular_only = false;
};

struct AnnotateOptions {
    core::AssignOptions assign;
    std::optional<io::FileFormat> format;              // by the name when absent
    std::uint64_t max_bytes = std::uint64_t{1} << 31;  // read from a source, and decompressed
    bool every_model = false;                          // else the first model only, as the tarnix module reads
    // Residues and chains as the file gives them, unlike the tarnix module's merging of equal keys.
    io::ResidueRules rules = io::ResidueRules::as_written;
};

struct AnnotatedInput {
    std::string error;  // empty when the input was read
    // Read and holding atoms, but no amino-acid residue with N, CA, C and O; `error` says so.
    bool no_protein = false;
    std::int32_t model = 1;  // as numbered in the file
    std::size_t source = 0;  // the input's place in the run
    std::uint32_t chain_count = 0;
    std::uint64_t helix_residues = 0;   // H, G, I
    std::uint64_t strand_residues = 0;  // E, B
    double accessibility_total = 0.0;
    double seconds = 0.0;
    ResidueTable residues;
};

// Structures with at least this many residues are worth spreading over threads.
inline constexpr std::size_t kSpreadResidues = 2000;

// `row` is the input's row in the table of structures. Never throws for bad input; a failure is
// the `error` text, the same one `tarnix.assign` raises for a file it cannot read, or names the
// first residue with a coordinate that is not a finite number. With
// `spread`, the accessibility phase of a large structure runs on its threads (same results).
AnnotatedInput annotate_input(const Input& input, std::int32_t row, const AnnotateOptions& options,
                              const core::ParallelFor* spread = nullptr);

// With every model, an input may make at most max_bytes / kBytesPerModelRow rows (one per model and
// one per residue, together) and max_bytes / kBytesPerModel models: a layout of many models in few
// bytes (an atom table whose model number changes every row, say) would otherwise make rows
// without bound. What they cost once made stays about max_bytes.
inline constexpr std::uint64_t kBytesPerModelRow = 512;
inline constexpr std::uint64_t kBytesPerModel = 4096;

// The text of the failure of an input that would make more rows or models than that.
std::string too_many_model_rows_text(std::uint64_t max_bytes);

// One result per model of the input, in file order (one per input unless `every_model`), rows
// counted from `row`. A failure of the whole input is one result with its error.
std::vector<AnnotatedInput> annotate_models(const Input& input, std::int32_t row, const AnnotateOptions& options,
                                            const core::ParallelFor* spread = nullptr);

}  // namespace tarnix::engine
