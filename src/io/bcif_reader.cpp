// BinaryCIF: the `_atom_site` category of a MessagePack file, decoded column by column, then
// taken row by row through the same rules and selection as the mmCIF text.
#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>

#include "io/atom_site.hpp"
#include "io/bcif_encodings.hpp"
#include "io/readers.hpp"
#include "io/text.hpp"

namespace tarnix::io {
namespace {

using bcif::Values;

// Container limits: far above what any BinaryCIF file holds (a few hundred categories of a
// few dozen columns), and low enough that a hostile header can make the unpacker set aside
// no more than a few megabytes before bytes back it.
constexpr std::size_t kMaxContainer = 1 << 16;
constexpr std::size_t kMaxDepth = 32;

InputError invalid(std::string detail) { return InputError::invalid_binary_cif(std::move(detail)); }

std::variant<std::string, IoError> read_all(ByteSource& source) {
    std::string bytes;
    std::size_t used = 0;
    for (;;) {
        if (bytes.size() - used < (std::size_t{1} << 16)) bytes.resize(std::max<std::size_t>(bytes.size() * 2, 1 << 20));
        auto outcome = source.read(bytes.data() + used, bytes.size() - used);
        if (auto* error = std::get_if<IoError>(&outcome)) return *error;
        const std::size_t count = std::get<std::size_t>(outcome);
        if (count == 0) break;
        used += count;
    }
    bytes.resize(used);
    return bytes;
}

std::variant<msgpack::object_handle, InputError> unpack(const std::string& bytes) {
    std::size_t offset = 0;
    const msgpack::unpack_limit limits(kMaxContainer, kMaxContainer, bytes.size(), bytes.size(), bytes.size(),
                                       kMaxDepth);
    // Texts and bytes are viewed where they lie rather than copied.
    const auto view_in_place = [](msgpack::type::object_type, std::size_t, void*) { return true; };
    try {
        return msgpack::unpack(bytes.data(), bytes.size(), offset, view_in_place, nullptr, limits);
    } catch (const msgpack::insufficient_bytes&) {
        return invalid("the data end early (a truncated file?)");
    } catch (const msgpack::size_overflow&) {
        return invalid("lists or maps longer or deeper than any BinaryCIF file holds");
    } catch (const msgpack::unpack_error&) {
        return invalid("not MessagePack data");
    }
}

std::span<const msgpack::object> list_of(const msgpack::object* object) {
    if (object == nullptr || object->type != msgpack::type::ARRAY) return {};
    return {object->via.array.ptr, object->via.array.size};
}

bool is_named(const msgpack::object& map, std::string_view key, std::string_view name) {
    const msgpack::object* value = bcif::field(map, key);
    return value != nullptr && bcif::text_of(*value) == name;
}

// The first `_atom_site` category of the file's data blocks, null when there is none.
std::variant<const msgpack::object*, InputError> find_atom_site(const msgpack::object& file) {
    const msgpack::object* blocks = bcif::field(file, "dataBlocks");
    if (blocks == nullptr || blocks->type != msgpack::type::ARRAY) return invalid("no list of 'dataBlocks'");
    for (const msgpack::object& block : list_of(blocks)) {
        for (const msgpack::object& category : list_of(bcif::field(block, "categories"))) {
            if (is_named(category, "name", "_atom_site")) return &category;
        }
    }
    return nullptr;
}

constexpr std::string_view kNotApplicable = ".";
constexpr std::string_view kUnknown = "?";

// One item's column: its values and its mask, absent when the category has no such column.
class Column {
public:
    bool present() const { return present_; }

    std::optional<std::string> load(const msgpack::object& column, std::size_t rows) {
        auto decoded = bcif::decode(*data_of(column));
        if (auto* failure = std::get_if<std::string>(&decoded)) return std::move(*failure);
        values_ = std::move(std::get<Values>(decoded));
        if (values_.size() != rows) return counted("values", values_.size(), rows);
        const msgpack::object* mask = bcif::field(column, "mask");
        if (mask != nullptr && mask->type != msgpack::type::NIL) {
            auto decoded_mask = bcif::decode(*mask);
            if (auto* failure = std::get_if<std::string>(&decoded_mask)) return "mask: " + *failure;
            Values& flags = std::get<Values>(decoded_mask);
            if (flags.type != Values::Type::integers) return std::string("mask does not decode to integers");
            if (flags.integers.size() != rows) return counted("mask values", flags.integers.size(), rows);
            mask_.resize(rows);
            for (std::size_t i = 0; i < rows; ++i) {
                if (flags.integers[i] < 0 || flags.integers[i] > 2) return "mask value " + std::to_string(flags.integers[i]);
                mask_[i] = static_cast<std::uint8_t>(flags.integers[i]);
            }
        }
        present_ = true;
        return std::nullopt;
    }

    // The row's value as the text form would hold it; "." or "?" where masked.
    const std::string_view* text(std::size_t row) const {
        if (!present_) return nullptr;
        if (const std::string_view* placeholder = masked(row)) return placeholder;
        switch (values_.type) {
            case Values::Type::texts:
                return &values_.texts[row];
            case Values::Type::integers:
                return written(std::to_chars(scratch_.data(), scratch_.data() + scratch_.size(), values_.integers[row]));
            default:
                return written(std::to_chars(scratch_.data(), scratch_.data() + scratch_.size(), values_.reals[row]));
        }
    }

    bool coordinate(std::size_t row, Parsed<float, FloatError>& out) const {
        if (!present_) return false;
        if (values_.type == Values::Type::reals && !masked(row)) {
            out = {static_cast<float>(values_.reals[row]), std::nullopt};
        } else if (values_.type == Values::Type::integers && !masked(row)) {
            out = {static_cast<float>(values_.integers[row]), std::nullopt};
        } else {
            out = parse_f32(*text(row));
        }
        return true;
    }

    bool integer(std::size_t row, std::int32_t& out) const {
        if (!present_) return false;
        if (values_.type == Values::Type::integers && !masked(row)) {
            const std::int64_t value = values_.integers[row];
            out = static_cast<std::int32_t>(value);
            return value >= INT32_MIN && value <= INT32_MAX;
        }
        const auto parsed = parse_i32(*text(row));
        out = parsed.value;
        return parsed.ok();
    }

private:
    static const msgpack::object* data_of(const msgpack::object& column) {
        static const msgpack::object kNil;
        const msgpack::object* data = bcif::field(column, "data");
        return data != nullptr ? data : &kNil;
    }

    static std::string counted(std::string_view what, std::size_t count, std::size_t rows) {
        return std::to_string(count) + " " + std::string(what) + " for " + std::to_string(rows) + " rows";
    }

    const std::string_view* masked(std::size_t row) const {
        if (mask_.empty() || mask_[row] == 0) return nullptr;
        return mask_[row] == 1 ? &kNotApplicable : &kUnknown;
    }

    const std::string_view* written(std::to_chars_result result) const {
        written_ = std::string_view(scratch_.data(), static_cast<std::size_t>(result.ptr - scratch_.data()));
        return &written_;
    }

    bool present_ = false;
    Values values_;
    std::vector<std::uint8_t> mask_;  // empty when nothing is masked
    mutable std::array<char, 32> scratch_{};
    mutable std::string_view written_;
};

using Columns = std::array<Column, kAtomSiteItemCount>;

// One row of the decoded columns, as the shared row rules ask for it.
class RowValues {
public:
    RowValues(const Columns& columns, std::size_t row) : columns_(columns), row_(row) {}
    const std::string_view* text(AtomSiteItem item) const { return columns_[item].text(row_); }
    bool coordinate(AtomSiteItem item, Parsed<float, FloatError>& out) const {
        return columns_[item].coordinate(row_, out);
    }
    bool integer(AtomSiteItem item, std::int32_t& out) const { return columns_[item].integer(row_, out); }

private:
    const Columns& columns_;
    std::size_t row_;
};

ReadResult read_atom_site(const msgpack::object& category) {
    const msgpack::object* row_count = bcif::field(category, "rowCount");
    if (row_count == nullptr || row_count->type != msgpack::type::POSITIVE_INTEGER ||
        row_count->via.u64 > static_cast<std::uint64_t>(bcif::kMaxValues)) {
        return invalid("_atom_site lacks a valid 'rowCount'");
    }
    const auto rows = static_cast<std::size_t>(row_count->via.u64);
    // The later of two columns of one name counts, as in the text form.
    std::array<const msgpack::object*, kAtomSiteItemCount> found{};
    for (const msgpack::object& column : list_of(bcif::field(category, "columns"))) {
        const msgpack::object* name = bcif::field(column, "name");
        const auto text = name != nullptr ? bcif::text_of(*name) : std::nullopt;
        if (!text) return invalid("_atom_site has a column without a name");
        if (const auto item = atom_site_item(*text)) found[*item] = &column;
    }
    if (rows == 0) return InputError::empty();
    const PreferredItems preferred = preferred_items(found[kAuthAsymId] != nullptr, found[kAuthSeqId] != nullptr);
    auto columns = std::make_unique<Columns>();
    for (const AtomSiteItem item : {kAtomId, kCompId, kCartnX, kCartnY, kCartnZ, preferred.chain, preferred.seq,
                                    kInsCode, kAltId, kModelNum}) {
        if (found[item] == nullptr) continue;
        if (auto failure = (*columns)[item].load(*found[item], rows)) {
            return invalid("column " + std::string(kAtomSiteItemNames[item]) + ": " + *failure);
        }
    }
    AtomSiteSelection selection;
    AtomSiteRow row;
    for (std::size_t i = 0; i < rows; ++i) {
        if (auto error = decode_atom_site_row(RowValues(*columns, i), preferred, row)) {
            return std::move(*error);
        }
        selection.add(row);
    }
    return selection.build();
}

}  // namespace

ReadResult parse_bcif(ByteSource& source) {
    auto read = read_all(source);
    if (auto* error = std::get_if<IoError>(&read)) return InputError::io(*error);
    const std::string& bytes = std::get<std::string>(read);
    if (bytes.empty()) return InputError::empty();
    auto unpacked = unpack(bytes);
    if (auto* error = std::get_if<InputError>(&unpacked)) return std::move(*error);
    auto category = find_atom_site(std::get<msgpack::object_handle>(unpacked).get());
    if (auto* error = std::get_if<InputError>(&category)) return std::move(*error);
    const msgpack::object* atom_site = std::get<const msgpack::object*>(category);
    if (atom_site == nullptr) return InputError::empty();
    return read_atom_site(*atom_site);
}

}  // namespace tarnix::io
