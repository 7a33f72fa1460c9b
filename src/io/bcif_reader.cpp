// BinaryCIF: the `_atom_site` category of a MessagePack file, decoded column by column, then
// taken row by row through the same rules and selection as the mmCIF text.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "io/atom_site.hpp"
#include "io/bcif_encodings.hpp"
#include "io/msgpack_walk.hpp"
#include "io/readers.hpp"
#include "io/text.hpp"

namespace tarnix::io {
namespace {

using bcif::Values;

// Container limits of the unpacked category: far above what any BinaryCIF category holds (a few
// dozen columns), and low enough that a hostile header can make the unpacker set aside no more
// than a few megabytes before bytes back it.
constexpr std::size_t kMaxContainer = 1 << 16;
constexpr std::size_t kMaxDepth = 32;

InputError invalid(std::string detail) { return InputError::invalid_binary_cif(std::move(detail)); }

// The whole source in one block that is not zero-filled first (filling took a tenth of the read).
struct Bytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view view() const { return {data.get(), size}; }
};

std::variant<Bytes, IoError> read_all(ByteSource& source) {
    Bytes bytes;
    std::size_t capacity = 0;
    for (;;) {
        if (capacity - bytes.size < (std::size_t{1} << 15)) {
            capacity = std::max<std::size_t>(2 * capacity, std::size_t{1} << 17);
            auto grown = std::make_unique_for_overwrite<char[]>(capacity);
            if (bytes.size > 0) std::memcpy(grown.get(), bytes.data.get(), bytes.size);
            bytes.data = std::move(grown);
        }
        auto outcome = source.read(bytes.data.get() + bytes.size, capacity - bytes.size);
        if (auto* error = std::get_if<IoError>(&outcome)) return *error;
        const std::size_t count = std::get<std::size_t>(outcome);
        if (count == 0) return bytes;
        bytes.size += count;
    }
}

InputError walk_failure(const MsgpackWalk& walk, std::string_view otherwise) {
    switch (walk.failure()) {
        case MsgpackWalk::Failure::truncated: return invalid("the data end early (a truncated file?)");
        case MsgpackWalk::Failure::invalid: return invalid("not MessagePack data");
        case MsgpackWalk::Failure::none: break;
    }
    return invalid(std::string(otherwise));
}

// Past a category map at the walk's cursor: whether it is named "_atom_site".
std::optional<bool> walk_category(MsgpackWalk& walk) {
    const auto entries = walk.map();
    if (!entries) {
        if (!walk.skip()) return std::nullopt;
        return false;
    }
    bool atom_site = false;
    for (std::uint64_t i = 0; i < *entries; ++i) {
        const auto key = walk.text();
        if (key == "name") {
            const auto name = walk.text();
            if (name) {
                atom_site = *name == "_atom_site";
                continue;
            }
        } else if (!key && !walk.skip()) {
            return std::nullopt;
        }
        if (!walk.skip()) return std::nullopt;
    }
    return atom_site;
}

// The bytes of the first `_atom_site` category of the file's data blocks; empty when there is
// none. The bytes up to it are walked, so broken bytes there fail the read, yet only the category
// the reader needs is unpacked (unpacking every category took half of the reading time); like
// the text reader, it stops at the end of the atom table.
std::variant<std::string_view, InputError> find_atom_site(std::string_view bytes) {
    constexpr std::string_view kNoBlocks = "no list of 'dataBlocks'";
    MsgpackWalk walk(bytes);
    const auto entries = walk.map();
    if (!entries) return walk_failure(walk, kNoBlocks);
    bool blocks_seen = false;
    for (std::uint64_t entry = 0; entry < *entries; ++entry) {
        const auto key = walk.text();
        if (!key && !walk.skip()) return walk_failure(walk, kNoBlocks);
        if (key != "dataBlocks") {
            if (!walk.skip()) return walk_failure(walk, kNoBlocks);
            continue;
        }
        const auto blocks = walk.array();
        if (!blocks) return walk_failure(walk, kNoBlocks);
        blocks_seen = true;
        for (std::uint64_t block = 0; block < *blocks; ++block) {
            const auto block_entries = walk.map();
            for (std::uint64_t i = 0; block_entries && i < *block_entries; ++i) {
                const auto block_key = walk.text();
                if (!block_key && !walk.skip()) return walk_failure(walk, kNoBlocks);
                const auto categories = block_key == "categories" ? walk.array() : std::nullopt;
                if (!categories) {
                    if (!walk.skip()) return walk_failure(walk, kNoBlocks);
                    continue;
                }
                for (std::uint64_t c = 0; c < *categories; ++c) {
                    const std::size_t start = walk.position();
                    const auto atom_site = walk_category(walk);
                    if (!atom_site) return walk_failure(walk, kNoBlocks);
                    if (*atom_site) return bytes.substr(start, walk.position() - start);
                }
            }
            if (!block_entries && !walk.skip()) return walk_failure(walk, kNoBlocks);
        }
    }
    if (!blocks_seen) return invalid(std::string(kNoBlocks));
    return std::string_view();
}

std::variant<msgpack::object_handle, InputError> unpack(std::string_view bytes) {
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

constexpr std::string_view kNotApplicable = ".";
constexpr std::string_view kUnknown = "?";

// One item's column: its values and its mask, absent when the category has no such column.
class Column {
public:
    std::optional<std::string> load(const msgpack::object& column, std::size_t rows) {
        // A column's arrays hold a value a row (a string table one more), and the (value, count)
        // pairs that run lengths expand hold at most two a row.
        const auto limit = 2 * static_cast<std::int64_t>(rows) + 2;
        auto decoded = bcif::decode(*data_of(column), limit);
        if (auto* failure = std::get_if<std::string>(&decoded)) return std::move(*failure);
        values_ = std::move(std::get<Values>(decoded));
        if (values_.size() != rows) return counted("values", values_.size(), rows);
        const msgpack::object* mask = bcif::field(column, "mask");
        if (mask != nullptr && mask->type != msgpack::type::NIL) {
            auto decoded_mask = bcif::decode(*mask, limit);
            if (auto* failure = std::get_if<std::string>(&decoded_mask)) return "mask: " + *failure;
            Values& flags = std::get<Values>(decoded_mask);
            if (flags.type != Values::Type::integers) return std::string("mask does not decode to integers");
            if (flags.integers.size() != rows) return counted("mask values", flags.integers.size(), rows);
            mask_.resize(rows);
            for (std::size_t i = 0; i < rows; ++i) {
                if (flags.integers[i] < 0 || flags.integers[i] > 2)
                    return "mask value " + std::to_string(flags.integers[i]);
                mask_[i] = static_cast<std::uint8_t>(flags.integers[i]);
            }
        }
        present_ = true;
        return std::nullopt;
    }

    // Strings here are bytes as written, where the text forms' lines are checked as they are read.
    bool texts_are_utf8() const { return std::all_of(values_.strings.begin(), values_.strings.end(), is_valid_utf8); }

    // The row's value as the text form would hold it; "." or "?" where masked.
    const std::string_view* text(std::size_t row) const {
        if (!present_) return nullptr;
        if (const std::string_view* placeholder = masked(row)) return placeholder;
        switch (values_.type) {
            case Values::Type::texts: return &values_.text(row);
            case Values::Type::integers:
                return written(
                    std::to_chars(scratch_.data(), scratch_.data() + scratch_.size(), values_.integers[row]));
            default:
                return written(std::to_chars(scratch_.data(), scratch_.data() + scratch_.size(), values_.reals[row]));
        }
    }

    Coordinate coordinate(std::size_t row, float& out) const {
        if (!present_) return Coordinate::absent;
        if (values_.type == Values::Type::reals && !masked(row)) {
            out = static_cast<float>(values_.reals[row]);
            return Coordinate::number;
        }
        if (values_.type == Values::Type::integers && !masked(row)) {
            out = static_cast<float>(values_.integers[row]);
            return Coordinate::number;
        }
        return parse_coordinate(*text(row), out);
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
    Coordinate coordinate(AtomSiteItem item, float& out) const { return columns_[item].coordinate(row_, out); }
    bool integer(AtomSiteItem item, std::int32_t& out) const { return columns_[item].integer(row_, out); }

private:
    const Columns& columns_;
    std::size_t row_;
};

// The most rows a file of this size is taken to hold: eight a byte. A deposited structure's
// coordinates alone take at least three bytes a row, so no real file comes near, while run
// lengths in a few hostile bytes can claim millions of rows for the reader to allocate.
std::uint64_t row_limit(std::size_t file_bytes) { return 8 * static_cast<std::uint64_t>(file_bytes) + 4096; }

// Decodes the atom table and hands every row to `take`, in file order; a row that cannot be
// decoded fails the whole read, as in the text form.
template <class Take>
std::optional<InputError> read_atom_site(const msgpack::object& category, std::size_t file_bytes, Take take) {
    const msgpack::object* row_count = bcif::field(category, "rowCount");
    if (row_count == nullptr || row_count->type != msgpack::type::POSITIVE_INTEGER) {
        return invalid("_atom_site lacks a valid 'rowCount'");
    }
    if (row_count->via.u64 > row_limit(file_bytes)) {
        return invalid("_atom_site claims " + std::to_string(row_count->via.u64) + " rows, more than a file of " +
                       std::to_string(file_bytes) + " bytes can hold");
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
    for (const AtomSiteItem item :
         {kAtomId, kCompId, kCartnX, kCartnY, kCartnZ, preferred.chain, preferred.seq, kInsCode, kAltId, kModelNum}) {
        if (found[item] == nullptr) continue;
        if (auto failure = (*columns)[item].load(*found[item], rows)) {
            return invalid("column " + std::string(kAtomSiteItemNames[item]) + ": " + *failure);
        }
        if (!(*columns)[item].texts_are_utf8()) return InputError::io(IoError::invalid_utf8());
    }
    AtomSiteRow row;
    for (std::size_t i = 0; i < rows; ++i) {
        if (auto error = decode_atom_site_row(RowValues(*columns, i), preferred, row)) {
            return error;
        }
        take(row);
    }
    return std::nullopt;
}

// Reads the file and hands every row of its atom table to `take`.
template <class Take>
std::optional<InputError> read_rows(ByteSource& source, Take take) {
    auto read = read_all(source);
    if (auto* error = std::get_if<IoError>(&read)) return InputError::io(*error);
    const std::string_view bytes = std::get<Bytes>(read).view();
    if (bytes.empty()) return InputError::empty();
    auto found = find_atom_site(bytes);
    if (auto* error = std::get_if<InputError>(&found)) return std::move(*error);
    const std::string_view atom_site = std::get<std::string_view>(found);
    if (atom_site.empty()) return InputError::empty();
    auto unpacked = unpack(atom_site);
    if (auto* error = std::get_if<InputError>(&unpacked)) return std::move(*error);
    return read_atom_site(std::get<msgpack::object_handle>(unpacked).get(), bytes.size(), take);
}

}  // namespace

ReadResult parse_bcif(ByteSource& source, ResidueRules rules) {
    return read_first_model([&](auto take) { return read_rows(source, take); }, rules);
}

std::optional<InputError> parse_bcif_models(ByteSource& source, const ModelVisitor& visit, ResidueRules rules) {
    return read_every_model([&](auto take) { return read_rows(source, take); }, visit, rules);
}

}  // namespace tarnix::io
