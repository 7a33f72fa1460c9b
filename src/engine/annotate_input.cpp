#include "engine/annotate_input.hpp"

#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "core/assign.hpp"
#include "core/codes.hpp"
#include "io/formats.hpp"
#include "io/gzip_source.hpp"
#include "io/limited_source.hpp"
#include "io/structure_file.hpp"

namespace tarnix::engine {
namespace {

// Lets the first bytes be looked at before the reader sees them all. Bytes the inner source
// holds in memory are looked at in place and handed on in place, so that a reader or decoder
// takes them without a copy.
class PeekingSource final : public io::ByteSource {
public:
    explicit PeekingSource(io::ByteSource& inner) : inner_(inner) {}

    // Up to `size` first bytes: fewer only where the source ends or fails (read() then says why).
    std::string_view peek(std::size_t size) {
        if (in_memory()) return held_->substr(0, size);
        while (head_.size() < size && !head_error_ && !head_at_end_) {
            const std::size_t had = head_.size();
            head_.resize(size);
            auto outcome = inner_.read(head_.data() + had, size - had);
            std::size_t count = 0;
            if (auto* error = std::get_if<io::IoError>(&outcome)) {
                head_error_ = *error;
            } else if (count = std::get<std::size_t>(outcome); count == 0) {
                head_at_end_ = true;
            }
            head_.resize(had + count);
        }
        return std::string_view(head_).substr(0, size);
    }

    bool starts_with_gzip_magic() {
        const std::string_view head = peek(sizeof io::kGzipMagic);
        return head.size() == sizeof io::kGzipMagic && std::memcmp(head.data(), io::kGzipMagic, head.size()) == 0;
    }

    std::variant<std::size_t, io::IoError> read(char* buffer, std::size_t size) override {
        if (in_memory()) {
            const std::size_t count = std::min(size, held_->size());
            if (count > 0) std::memcpy(buffer, held_->data(), count);
            held_->remove_prefix(count);
            return count;
        }
        if (head_offset_ < head_.size()) {
            const std::size_t count = std::min(size, head_.size() - head_offset_);
            std::memcpy(buffer, head_.data() + head_offset_, count);
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
    std::string head_;
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

// Hands the input's text (at most max_bytes of it, gzip decompressed) and its format to `read`,
// which returns the reader's error if any; returns why the input could not be read, if it could
// not. Without a format the text's first bytes decide it, so that a name, bytes in memory and a
// stream of the same content are read alike.
template <class Read>
std::optional<Failure> read_text(io::ByteSource& raw, std::uint64_t max_bytes, std::optional<io::FileFormat> format,
                                 Read read) {
    io::LimitedSource limited(raw, max_bytes);
    PeekingSource source(limited);
    std::optional<io::GzipSource> gzip;
    std::optional<PeekingSource> decompressed;
    io::ByteSource* text = &source;
    if (source.starts_with_gzip_magic()) {
        text = &gzip.emplace(source, max_bytes);
    }
    if (!format) {
        PeekingSource& head = gzip ? decompressed.emplace(*gzip) : source;
        format = io::format_of_content(head.peek(io::kSniffBytes));
        text = &head;
    }
    if (std::optional<io::InputError> error = read(*format, *text)) {
        if (limited.exceeded()) return Failure{io::exceeds_max_bytes_text(max_bytes)};
        if (gzip && gzip->failure()) return Failure{*gzip->failure()};
        return failure_of(*error);
    }
    return std::nullopt;
}

template <class Read>
std::optional<Failure> read_input(const Input& input, std::uint64_t max_bytes, std::optional<io::FileFormat> format,
                                  Read read) {
    if (input.bytes) {
        if (input.bytes->size() > max_bytes) return Failure{io::exceeds_max_bytes_text(max_bytes)};
        io::MemorySource memory(*input.bytes);
        return read_text(memory, max_bytes, format, read);
    }
    if (input.range) {
        if (input.range->length > max_bytes) return Failure{io::exceeds_max_bytes_text(max_bytes)};
        io::FileRangeSource range(input.range->file, input.range->offset, input.range->length);
        return read_text(range, max_bytes, format, read);
    }
    auto opened = io::open_structure_file(input.name, nullptr, input.regular_only);
    if (auto* failure = std::get_if<io::ReadFailure>(&opened)) return Failure{std::move(failure->message)};
    auto& descriptor = std::get<io::FileDescriptor>(opened);
    if (const auto size = descriptor.regular_file_size(); size && *size > max_bytes) {
        return Failure{io::exceeds_max_bytes_text(max_bytes)};
    }
    io::FileSource file(std::move(descriptor));
    return read_text(file, max_bytes, format, read);
}

// The format asked for, else the one the input's name claims; none leaves it to the content.
std::optional<io::FileFormat> format_by_name(const Input& input, const AnnotateOptions& options) {
    return options.format ? options.format : io::format_claimed_by_name(input.name);
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
        std::optional<core::Structure> structure;
        auto failure = read_input(input, options.max_bytes, format_by_name(input, options),
                                  [&](io::FileFormat format, io::ByteSource& text) -> std::optional<io::InputError> {
            io::ReadResult result = io::parse(format, text, io::ReadOptions{&out.model, options.rules});
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

std::string too_many_model_rows_text(std::uint64_t max_bytes) {
    return "every model of this input would make more than " + std::to_string(max_bytes / kBytesPerModelRow) +
           " rows or " + std::to_string(max_bytes / kBytesPerModel) + " models (max_bytes / " +
           std::to_string(kBytesPerModelRow) + " and / " + std::to_string(kBytesPerModel) + ")";
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
        // Each model is computed as soon as it is read, so that only one is held at a time.
        const std::uint64_t row_limit = options.max_bytes / kBytesPerModelRow;
        const std::uint64_t model_limit = options.max_bytes / kBytesPerModel;
        std::uint64_t rows = 0;
        std::uint64_t model_count = 0;
        bool too_many_rows = false;
        // Past the limit, the models still to come are read but no longer computed or kept.
        const io::ModelVisitor visit = [&](std::int32_t number, io::ReadResult model) {
            const auto* structure = std::get_if<core::Structure>(&model);
            rows += 1 + (structure ? structure->residues.size() : 0);
            if (rows > row_limit || ++model_count > model_limit) {
                if (!too_many_rows) models = {};
                too_many_rows = true;
                return;
            }
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
        const io::ReadOptions read_options{nullptr, options.rules};
        failure = read_input(input, options.max_bytes, format_by_name(input, options),
                             [&](io::FileFormat format, io::ByteSource& text) {
                                 return io::parse_models(format, text, visit, read_options);
                             });
        if (!failure && too_many_rows) failure = Failure{too_many_model_rows_text(options.max_bytes)};
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
