#include "engine/annotate_input.hpp"

#include <chrono>
#include <cmath>
#include <cstring>
#include <new>

#include "core/assign.hpp"
#include "core/codes.hpp"
#include "io/formats.hpp"
#include "io/gzip_source.hpp"
#include "io/limited_source.hpp"
#include "io/structure_file.hpp"

namespace tarnix::engine {
namespace {

// Lets the first two bytes be looked at before the reader sees them all.
class PeekingSource final : public io::ByteSource {
public:
    explicit PeekingSource(io::ByteSource& inner) : inner_(inner) {}

    bool starts_with_gzip_magic() {
        while (head_size_ < sizeof head_ && !head_error_ && !head_at_end_) {
            auto outcome = inner_.read(head_ + head_size_, sizeof head_ - head_size_);
            if (auto* error = std::get_if<io::IoError>(&outcome)) {
                head_error_ = *error;
            } else if (const std::size_t count = std::get<std::size_t>(outcome); count == 0) {
                head_at_end_ = true;
            } else {
                head_size_ += count;
            }
        }
        return head_size_ == sizeof head_ && std::memcmp(head_, io::kGzipMagic, sizeof head_) == 0;
    }

    std::variant<std::size_t, io::IoError> read(char* buffer, std::size_t size) override {
        if (head_offset_ < head_size_) {
            const std::size_t count = std::min(size, head_size_ - head_offset_);
            std::memcpy(buffer, head_ + head_offset_, count);
            head_offset_ += count;
            return count;
        }
        if (head_error_) return *head_error_;
        if (head_at_end_) return std::size_t{0};
        return inner_.read(buffer, size);
    }

private:
    io::ByteSource& inner_;
    char head_[2] = {};
    std::size_t head_size_ = 0;
    std::size_t head_offset_ = 0;
    std::optional<io::IoError> head_error_;
    bool head_at_end_ = false;
};

// Why an input gave no structure.
struct Failure {
    std::string message;
    bool no_protein = false;
};

std::variant<core::Structure, Failure> read_source(io::ByteSource& raw, io::FileFormat format,
                                                   std::uint64_t max_bytes) {
    io::LimitedSource limited(raw, max_bytes);
    PeekingSource source(limited);
    std::optional<io::GzipSource> gzip;
    io::ByteSource* text = &source;
    if (source.starts_with_gzip_magic()) {
        text = &gzip.emplace(source, max_bytes);
    }
    io::ReadResult result = io::parse(format, *text);
    if (auto* error = std::get_if<io::InputError>(&result)) {
        if (limited.exceeded()) return Failure{io::exceeds_max_bytes_text(max_bytes)};
        if (gzip && gzip->failure()) return Failure{*gzip->failure()};
        return Failure{error->message(), error->kind() == io::InputError::Kind::NoProtein};
    }
    return std::move(std::get<core::Structure>(result));
}

std::variant<core::Structure, Failure> read_input(const Input& input, io::FileFormat format,
                                                  std::uint64_t max_bytes) {
    if (input.bytes) {
        if (input.bytes->size() > max_bytes) return Failure{io::exceeds_max_bytes_text(max_bytes)};
        io::MemorySource memory(*input.bytes);
        return read_source(memory, format, max_bytes);
    }
    auto opened = io::open_structure_file(input.name);
    if (auto* failure = std::get_if<io::ReadFailure>(&opened)) return Failure{std::move(failure->message)};
    auto& descriptor = std::get<io::FileDescriptor>(opened);
    if (const auto size = descriptor.regular_file_size(); size && *size > max_bytes) {
        return Failure{io::exceeds_max_bytes_text(max_bytes)};
    }
    io::FileSource file(std::move(descriptor));
    return read_source(file, format, max_bytes);
}

bool finite(const core::Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// A NaN or infinite coordinate would give numbers that look like results; the first residue
// holding one makes the input fail instead.
std::optional<std::string> non_finite_coordinate(const core::Structure& structure) {
    for (const core::Residue& residue : structure.residues) {
        bool ok = finite(residue.n) && finite(residue.ca) && finite(residue.c) && finite(residue.o) &&
                  (!residue.h || finite(*residue.h));
        for (const core::Atom& atom : residue.atoms) ok = ok && finite(atom.position);
        if (!ok) {
            return "non-finite coordinate in residue " + residue.chain_id + " " + std::to_string(residue.seq_id) +
                   residue.ins_code;
        }
    }
    return std::nullopt;
}

void summarise(const core::Structure& structure, AnnotatedInput& out) {
    out.chain_count = static_cast<std::uint32_t>(structure.chains.size());
    for (const core::Residue& residue : structure.residues) {
        const char c3 = core::code_c3(residue.ss);
        out.helix_residues += c3 == 'H';
        out.strand_residues += c3 == 'E';
        out.accessibility_total += residue.accessibility;
    }
}

}  // namespace

AnnotatedInput annotate_input(const Input& input, std::int32_t row, const AnnotateOptions& options,
                              const core::ParallelFor* spread) {
    const auto start = std::chrono::steady_clock::now();
    AnnotatedInput out;
    if (input.failure) {
        out.error = *input.failure;
        return out;
    }
    try {
        auto outcome = read_input(input, options.format.value_or(io::format_for_name(input.name)), options.max_bytes);
        if (auto* failure = std::get_if<Failure>(&outcome)) {
            out.error = std::move(failure->message);
            out.no_protein = failure->no_protein;
        } else if (auto bad = non_finite_coordinate(std::get<core::Structure>(outcome))) {
            out.error = std::move(*bad);
        } else {
            core::Structure& structure = std::get<core::Structure>(outcome);
            if (spread != nullptr && structure.residues.size() >= kSpreadResidues) {
                core::assign_structure(structure, options.assign, *spread);
            } else {
                core::assign_structure(structure, options.assign);
            }
            summarise(structure, out);
            out.residues = residue_table(structure, row, options.assign.calculate_sasa);
        }
    } catch (const std::bad_alloc&) {
        out = AnnotatedInput{};
        out.error = "out of memory while reading this input";
    }
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return out;
}

}  // namespace tarnix::engine
