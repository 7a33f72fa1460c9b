#include "engine/annotate_input.hpp"

#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "core/assign.hpp"
#include "core/codes.hpp"
#include "io/formats.hpp"
#include "io/gzip_source.hpp"
#include "io/limited_source.hpp"
#include "io/structure_file.hpp"

namespace tarnix::engine {
namespace {

// Lets the first two bytes be looked at before the reader sees them all. Bytes the inner source
// holds in memory are looked at in place and handed on in place, so that a reader or decoder
// takes them without a copy.
class PeekingSource final : public io::ByteSource {
public:
    explicit PeekingSource(io::ByteSource& inner) : inner_(inner) {}

    bool starts_with_gzip_magic() {
        if (in_memory()) {
            return held_->size() >= sizeof head_ && std::memcmp(held_->data(), io::kGzipMagic, sizeof head_) == 0;
        }
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
        if (in_memory()) {
            const std::size_t count = std::min(size, held_->size());
            if (count > 0) std::memcpy(buffer, held_->data(), count);
            held_->remove_prefix(count);
            return count;
        }
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

    std::optional<std::string_view> rest_in_memory() override {
        if (!in_memory()) return std::nullopt;
        return std::exchange(*held_, std::string_view());
    }

private:
    // Whether the inner source gave all its bytes in place (asked once, before any read).
    bool in_memory() {
        if (!asked_) {
            asked_ = true;
            held_ = inner_.rest_in_memory();
        }
        return held_.has_value();
    }

    io::ByteSource& inner_;
    bool asked_ = false;
    std::optional<std::string_view> held_;
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

Failure failure_of(const io::InputError& error) {
    return Failure{error.message(), error.kind() == io::InputError::Kind::NoProtein};
}

// Hands the input's text (at most max_bytes of it, gzip decompressed) to `read`, which returns the
// reader's error if any; returns why the input could not be read, if it could not.
template <class Read>
std::optional<Failure> read_text(io::ByteSource& raw, std::uint64_t max_bytes, Read read) {
    io::LimitedSource limited(raw, max_bytes);
    PeekingSource source(limited);
    std::optional<io::GzipSource> gzip;
    io::ByteSource* text = &source;
    if (source.starts_with_gzip_magic()) {
        text = &gzip.emplace(source, max_bytes);
    }
    if (std::optional<io::InputError> error = read(*text)) {
        if (limited.exceeded()) return Failure{io::exceeds_max_bytes_text(max_bytes)};
        if (gzip && gzip->failure()) return Failure{*gzip->failure()};
        return failure_of(*error);
    }
    return std::nullopt;
}

template <class Read>
std::optional<Failure> read_input(const Input& input, std::uint64_t max_bytes, Read read) {
    if (input.bytes) {
        if (input.bytes->size() > max_bytes) return Failure{io::exceeds_max_bytes_text(max_bytes)};
        io::MemorySource memory(*input.bytes);
        return read_text(memory, max_bytes, read);
    }
    if (input.range) {
        if (input.range->length > max_bytes) return Failure{io::exceeds_max_bytes_text(max_bytes)};
        io::FileRangeSource range(input.range->file, input.range->offset, input.range->length);
        return read_text(range, max_bytes, read);
    }
    auto opened = io::open_structure_file(input.name, nullptr, input.regular_only);
    if (auto* failure = std::get_if<io::ReadFailure>(&opened)) return Failure{std::move(failure->message)};
    auto& descriptor = std::get<io::FileDescriptor>(opened);
    if (const auto size = descriptor.regular_file_size(); size && *size > max_bytes) {
        return Failure{io::exceeds_max_bytes_text(max_bytes)};
    }
    io::FileSource file(std::move(descriptor));
    return read_text(file, max_bytes, read);
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

// Runs the core on a structure just read and fills out's summary and rows.
void annotate_structure(core::Structure& structure, std::int32_t row, const AnnotateOptions& options,
                        const core::ParallelFor* spread, AnnotatedInput& out) {
    if (auto bad = non_finite_coordinate(structure)) {
        out.error = std::move(*bad);
        return;
    }
    if (spread != nullptr && structure.residues.size() >= kSpreadResidues) {
        core::assign_structure(structure, options.assign, *spread);
    } else {
        core::assign_structure(structure, options.assign);
    }
    summarise(structure, out);
    out.residues = residue_table(structure, row, options.assign.calculate_sasa);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
        const io::FileFormat format = options.format.value_or(io::format_for_name(input.name));
        std::optional<core::Structure> structure;
        auto failure = read_input(input, options.max_bytes, [&](io::ByteSource& text) -> std::optional<io::InputError> {
            io::ReadResult result = io::parse(format, text, io::ReadOptions{&out.model});
            if (auto* error = std::get_if<io::InputError>(&result)) return std::move(*error);
            structure = std::move(std::get<core::Structure>(result));
            return std::nullopt;
        });
        if (failure) {
            out.error = std::move(failure->message);
            out.no_protein = failure->no_protein;
        } else {
            annotate_structure(*structure, row, options, spread, out);
        }
    } catch (const std::bad_alloc&) {
        out = AnnotatedInput{};
        out.error = "out of memory while reading this input";
    }
    out.seconds = seconds_since(start);
    return out;
}

std::vector<AnnotatedInput> annotate_models(const Input& input, std::int32_t row, const AnnotateOptions& options,
                                            const core::ParallelFor* spread) {
    if (!options.every_model || input.failure) {
        std::vector<AnnotatedInput> one(1);
        one[0] = annotate_input(input, row, options, spread);
        return one;
    }
    auto start = std::chrono::steady_clock::now();
    std::vector<AnnotatedInput> models;
    std::optional<Failure> failure;
    try {
        const io::FileFormat format = options.format.value_or(io::format_for_name(input.name));
        // Each model is computed as soon as it is read, so that only one is held at a time.
        const io::ModelVisitor visit = [&](std::int32_t number, io::ReadResult model) {
            AnnotatedInput& out = models.emplace_back();
            out.model = number;
            if (auto* error = std::get_if<io::InputError>(&model)) {
                const Failure reason = failure_of(*error);
                out.error = reason.message;
                out.no_protein = reason.no_protein;
            } else {
                annotate_structure(std::get<core::Structure>(model), row + static_cast<std::int32_t>(models.size() - 1),
                                   options, spread, out);
            }
            out.seconds = seconds_since(start);
            start = std::chrono::steady_clock::now();
        };
        failure = read_input(input, options.max_bytes,
                             [&](io::ByteSource& text) { return io::parse_models(format, text, visit); });
    } catch (const std::bad_alloc&) {
        failure = Failure{"out of memory while reading this input"};
    }
    if (failure) {
        models.assign(1, AnnotatedInput{});
        models[0].error = std::move(failure->message);
        models[0].no_protein = failure->no_protein;
        models[0].seconds = seconds_since(start);
    }
    return models;
}

}  // namespace tarnix::engine
