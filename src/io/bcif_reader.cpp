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

// Container limits of the decoded category: far above what any BinaryCIF category holds (a few
// dozen columns, a handful of nested encodings).
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
        case MsgpackWalk::Failure::too_large:
            return invalid("lists or maps longer or deeper than any BinaryCIF file holds");
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
// none. The whole document is walked, so broken bytes anywhere, a cut or bytes after its end fail
// the read, yet only the category the reader needs is decoded (unpacking every category took
// half of the reading time).
std::variant<std::string_view, InputError> find_atom_site(std::string_view bytes) {
    constexpr std::string_view kNoBlocks = "no list of 'dataBlocks'";
    MsgpackWalk walk(bytes);
    const auto entries = walk.map();
    if (!entries) return walk_failure(walk, kNoBlocks);
    bool blocks_seen = false;
    std::optional<std::string_view> atom_site;
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
                    const auto is_atom_site = walk_category(walk);
                    if (!is_atom_site) return walk_failure(walk, kNoBlocks);
                    if (*is_atom_site && !atom_site) atom_site = bytes.substr(start, walk.position() - start);
                }
            }
            if (!block_entries && !walk.skip()) return walk_failure(walk, kNoBlocks);
        }
    }
    if (!blocks_seen) return invalid(std::string(kNoBlocks));
    if (walk.position() != bytes.size()) return invalid("bytes after the end of the MessagePack data");
    return atom_site.value_or(std::string_view());
}

std::variant<MsgpackTree, InputError> unpack(std::string_view bytes) {
    MsgpackWalk walk(bytes);
    auto tree = walk.decode(kMaxContainer, kMaxDepth);
    if (!tree) return walk_failure(walk, "not MessagePack data");
    return std::move(*tree);
}

constexpr std::string_view kNotApplicable = ".";
constexpr std::string_view kUnknown = "?";

// One item's column: its values and its mask, absent when the category has no such column.
class Column {
public:
    std::optional<std::string> load(const MsgpackValue& column, std::size_t rows) {
        // A column's arrays hold a value a row (a string table one more), and the (value, count)
        // pairs that run lengths expand hold at most two a row.
        const auto limit = 2 * static_cast<std::int64_t>(rows) + 2;
        auto decoded = bcif::decode(*data_of(column), limit);
        if (auto* failure = std::get_if<std::string>(&decoded)) return std::move(*failure);
        values_ = std::move(std::get<Values>(decoded));
        if (values_.size() != rows) return counted("values", values_.size(), rows);
        const MsgpackValue* mask = column.field("mask");
        if (mask != nullptr && mask->type != MsgpackValue::Type::nil) {
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
    static const MsgpackValue* data_of(const MsgpackValue& column) {
        static const MsgpackValue kNil;
        const MsgpackValue* data = column.field("data");
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

// What the decoded atom table may cost: kDecodedPerByte bytes for each byte of the file, plus
// a fixed allowance. A column costs a row its value (8 bytes) and mask (1), and the column being
// decoded up to two more arrays of 8 (16); so a file's decompressed size, itself at most
// max_bytes, bounds the rows it can claim and the memory they take. Real files take at least
// 9.6 bytes a row even with nothing but the atom table, three times what this asks of a file
// with all ten columns, while run lengths in a few hostile bytes can claim millions of rows.
constexpr std::uint64_t kDecodedPerByte = 32;
constexpr std::uint64_t kDecodedAllowance = std::uint64_t{1} << 20;
constexpr std::uint64_t kColumnBytesPerRow = 8 + 1;
constexpr std::uint64_t kDecodingBytesPerRow = 16;

bool affordable(std::uint64_t rows, std::size_t columns, std::size_t file_bytes) {
    const std::uint64_t per_row = kColumnBytesPerRow * columns + kDecodingBytesPerRow;
    const std::uint64_t budget = kDecodedPerByte * static_cast<std::uint64_t>(file_bytes) + kDecodedAllowance;
    return rows <= budget / per_row;
}

// Decodes the atom table and hands every row to `take`, in file order; a row that cannot be
// decoded fails the whole read, as in the text form.
template <class Take>
std::optional<InputError> read_atom_site(const MsgpackValue& category, std::size_t file_bytes, Take take) {
    const MsgpackValue* row_count = category.field("rowCount");
    if (row_count == nullptr || row_count->type != MsgpackValue::Type::positive_integer) {
        return invalid("_atom_site lacks a valid 'rowCount'");
    }
    // The later of two columns of one name counts, as in the text form.
    std::array<const MsgpackValue*, kAtomSiteItemCount> found{};
    const MsgpackValue* listed = category.field("columns");
    for (const MsgpackValue& column : listed != nullptr ? listed->array() : std::span<const MsgpackValue>()) {
        const MsgpackValue* name = column.field("name");
        const auto text = name != nullptr ? name->text() : std::nullopt;
        if (!text) return invalid("_atom_site has a column without a name");
        if (const auto item = atom_site_item(*text)) found[*item] = &column;
    }
    const PreferredItems preferred = preferred_items(found[kAuthAsymId] != nullptr, found[kAuthSeqId] != nullptr);
    const std::array<AtomSiteItem, 10> loaded = {
        kAtomId, kCompId, kCartnX, kCartnY, kCartnZ, preferred.chain, preferred.seq, kInsCode, kAltId, kModelNum};
    const auto columns_loaded = static_cast<std::size_t>(
        std::count_if(loaded.begin(), loaded.end(), [&](AtomSiteItem item) { return found[item] != nullptr; }));
    if (!affordable(row_count->via.u64, columns_loaded, file_bytes)) {
        return invalid("_atom_site claims " + std::to_string(row_count->via.u64) + " rows, more than a file of " +
                       std::to_string(file_bytes) + " bytes can hold");
    }
    const auto rows = static_cast<std::size_t>(row_count->via.u64);
    if (rows == 0) return InputError::empty();
    auto columns = std::make_unique<Columns>();
    for (const AtomSiteItem item : loaded) {
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
    // Bytes the source already holds (a decompressed stream) are read in place, not copied.
    Bytes copy;
    std::string_view bytes;
    if (const auto in_place = source.rest_in_memory()) {
        bytes = *in_place;
    } else {
        auto read = read_all(source);
        if (auto* error = std::get_if<IoError>(&read)) return InputError::io(*error);
        copy = std::move(std::get<Bytes>(read));
        bytes = copy.view();
    }
    if (bytes.empty()) return InputError::empty();
    auto found = find_atom_site(bytes);
    if (auto* error = std::get_if<InputError>(&found)) return std::move(*error);
    const std::string_view atom_site = std::get<std::string_view>(found);
    if (atom_site.empty()) return InputError::empty();
    auto unpacked = unpack(atom_site);
    if (auto* error = std::get_if<InputError>(&unpacked)) return std::move(*error);
    return read_atom_site(std::get<MsgpackTree>(unpacked).root(), bytes.size(), take);
}

}  // namespace

ReadResult parse_bcif(ByteSource& source, ResidueRules rules) {
    return read_first_model([&](auto take) { return read_rows(source, take); }, rules);
}

std::optional<InputError> parse_bcif_models(ByteSource& source, const ModelVisitor& visit, ResidueRules rules) {
    return read_every_model([&](auto take) { return read_rows(source, take); }, visit, rules);
}

}  // namespace tarnix::io
