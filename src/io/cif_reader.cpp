#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/simd.hpp"
#include "io/atom_site.hpp"
#include "io/line_reader.hpp"
#include "io/readers.hpp"
#include "io/text.hpp"

#ifdef TARNIX_X86_SIMD
#include <emmintrin.h>
#endif

namespace tarnix::io {
namespace {

constexpr std::string_view kItemPrefix = "_atom_site.";

struct Column {
    std::size_t position = SIZE_MAX;  // past any row's tokens while the item is not seen
    bool seen = false;
};

using AtomSiteColumns = std::array<Column, kAtomSiteItemCount>;

// The data rows of the atom table. They are copied into fixed-size chunks, which never move,
// so the views stay valid and growing never copies what is already stored; rows that stay
// valid anyway (in the source's memory) are kept as they are.
class RowStore {
public:
    void keep(std::string_view row) { rows_.push_back(row); }

    void add(std::string_view row) {
        if (capacity_ - used_ < row.size() || chunks_.empty()) {
            capacity_ = std::max(kChunkSize, row.size());
            chunks_.push_back(std::make_unique_for_overwrite<char[]>(capacity_));
            used_ = 0;
        }
        char* start = chunks_.back().get() + used_;
        std::copy(row.begin(), row.end(), start);
        used_ += row.size();
        rows_.emplace_back(start, row.size());
    }
    std::size_t size() const { return rows_.size(); }
    std::string_view operator[](std::size_t i) const { return rows_[i]; }

private:
    static constexpr std::size_t kChunkSize = std::size_t{1} << 20;

    std::vector<std::unique_ptr<char[]>> chunks_;
    std::size_t used_ = 0;
    std::size_t capacity_ = 0;
    std::vector<std::string_view> rows_;
};

// Picks the header items and data rows of the atom table out of the file's lines.
class AtomSiteScanner {
public:
    // `ascii` tells that the line is known to be all ASCII, which makes trimming simpler;
    // `lasting` that it stays valid after the next line is read, so it need not be copied.
    void scan(std::string_view line, bool ascii, bool lasting) {
        if (stopped_) {
            return;
        }
        // Most lines are rows of the table, which their first byte tells apart: no blank, no
        // "loop_", no item, no comment.
        if (in_loop_ && !line.empty()) {
            const char first = line.front();
            if (first > ' ' && first < 0x7F && first != 'l' && first != '_' && first != '#') {
                keep_row(line, lasting);
                return;
            }
        }
        const std::string_view t = ascii ? trim_ascii(line) : trim(line);
        if (t.starts_with("loop_")) {
            counter_ = 0;
            in_loop_ = false;
        } else if (t.starts_with(kItemPrefix)) {
            record_item(t.substr(kItemPrefix.size()));
            ++counter_;
            in_loop_ = true;
        } else if (!in_loop_ || t.empty() || t.starts_with('#')) {
            return;
        } else if (t.starts_with('_')) {
            stopped_ = true;
        } else {
            keep_row(line, lasting);
        }
    }

    const AtomSiteColumns& columns() const { return columns_; }
    const RowStore& rows() const { return rows_; }

private:
    void keep_row(std::string_view line, bool lasting) {
        if (lasting) {
            rows_.keep(line);
        } else {
            rows_.add(line);
        }
    }

    void record_item(std::string_view name) {
        if (const auto item = atom_site_item(name)) {
            columns_[*item] = Column{counter_, true};
        }
    }

    AtomSiteColumns columns_{};
    std::size_t counter_ = 0;
    bool in_loop_ = false;
    bool stopped_ = false;
    RowStore rows_;
};

// How the tokenizer treats a byte before looking further.
enum class ByteClass : std::uint8_t { plain, space, quote, maybe_space };

constexpr std::array<ByteClass, 256> make_byte_classes() {
    std::array<ByteClass, 256> classes{};
    for (const int c : {' ', '\t', '\n', '\v', '\f', '\r'}) {
        classes[c] = ByteClass::space;
    }
    classes['\''] = ByteClass::quote;
    classes['"'] = ByteClass::quote;
    // Lead bytes of the multi-byte white-space characters.
    for (const int c : {0xC2, 0xE1, 0xE2, 0xE3}) {
        classes[c] = ByteClass::maybe_space;
    }
    return classes;
}

constexpr std::array<ByteClass, 256> kByteClasses = make_byte_classes();

// Bits of the 64 bytes at block: ASCII white space in the result, quotes and bytes that are not
// ASCII in `special`.
std::uint64_t classify_block(const char* block, std::uint64_t& special) {
    std::uint64_t spaces = 0;
    special = 0;
#ifdef TARNIX_X86_SIMD
    for (int part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
        const __m128i from_tab = _mm_sub_epi8(bytes, _mm_set1_epi8(9));
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(from_tab, _mm_set1_epi8(4)), from_tab);
        const __m128i space = _mm_or_si128(control, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')));
        const __m128i quote =
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\'')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')));
        const auto bits = [](__m128i mask) {
            return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(mask)));
        };
        spaces |= bits(space) << (16 * part);
        special |= (bits(quote) | bits(bytes)) << (16 * part);
    }
#else
    for (int i = 0; i < 64; ++i) {
        const auto c = static_cast<unsigned char>(block[i]);
        spaces |= static_cast<std::uint64_t>(c == ' ' || (c >= 9 && c <= 13)) << i;
        special |= static_cast<std::uint64_t>(c == '\'' || c == '"' || c >= 0x80) << i;
    }
#endif
    return spaces;
}

// Splits rows into tokens. Only the first `limit` tokens of a row are produced, which is
// enough to tell whether a row reaches a column. Tokens view the row or the scratch buffer.
class Tokenizer {
public:
    std::span<const std::string_view> split(std::string_view row, std::size_t limit) {
        if (const auto count = split_plain(row, limit)) {
            return std::span<const std::string_view>(plain_tokens_).first(*count);
        }
        tokens_.clear();
        scratch_.clear();
        // Joined tokens are made of disjoint parts of the row, so the scratch buffer never
        // outgrows the row and never moves.
        scratch_.reserve(row.size());
        constexpr std::size_t kNoToken = std::string_view::npos;
        std::size_t token_start = kNoToken;
        std::size_t i = 0;
        while (i < row.size() && tokens_.size() < limit) {
            const char c = row[i];
            std::size_t space = 0;
            switch (kByteClasses[static_cast<unsigned char>(c)]) {
                case ByteClass::plain: break;
                case ByteClass::space: space = 1; break;
                case ByteClass::maybe_space: space = whitespace_length_at(row, i); break;
                case ByteClass::quote: {
                    const std::size_t close = row.find(c, i + 1);
                    const std::size_t inside_end = close == std::string_view::npos ? row.size() : close;
                    std::string_view token = row.substr(i + 1, inside_end - (i + 1));
                    if (token_start != kNoToken) {
                        token = join(row.substr(token_start, i - token_start), token);
                        token_start = kNoToken;
                    }
                    if (close == std::string_view::npos) {
                        if (!token.empty()) {
                            tokens_.push_back(token);
                        }
                        return tokens_;
                    }
                    tokens_.push_back(token);
                    i = close + 1;
                    continue;
                }
            }
            if (space != 0) {
                if (token_start != kNoToken) {
                    tokens_.push_back(row.substr(token_start, i - token_start));
                    token_start = kNoToken;
                }
                i += space;
                continue;
            }
            if (token_start == kNoToken) {
                token_start = i;
            }
            ++i;
        }
        if (token_start != kNoToken && tokens_.size() < limit) {
            tokens_.push_back(row.substr(token_start, i - token_start));
        }
        return tokens_;
    }

private:
    // Rows of ASCII without quotes, the usual kind, split where the white-space bits change,
    // found a word of 64 bytes at a time, into plain_tokens_. Returns the token count, or
    // nothing for any other row.
    std::optional<std::size_t> split_plain(std::string_view row, std::size_t limit) {
        // One word more than the row fills, so that white space always follows the last token.
        space_words_.resize(row.size() / 64 + 1);
        for (std::size_t word = 0; word < space_words_.size(); ++word) {
            std::uint64_t special;
            space_words_[word] = classify_word(row, word * 64, special);
            if (special != 0) {
                return std::nullopt;
            }
        }
        if (plain_tokens_.size() < limit) {
            plain_tokens_.resize(limit);
        }
        std::string_view* tokens = plain_tokens_.data();
        std::size_t count = 0;
        // A token starts where text follows white space and ends where white space follows
        // text. Starts and ends alternate, so the k-th end of a word closes its k-th start,
        // after the end owed to a start left open by an earlier word.
        std::uint64_t carry = 0;  // 1 when the byte before the word is not white space
        std::optional<std::size_t> open_start;
        for (std::size_t word = 0; word < space_words_.size(); ++word) {
            const std::uint64_t text = ~space_words_[word];
            const std::uint64_t before = (text << 1) | carry;
            carry = text >> 63;
            std::uint64_t starts = text & ~before;
            std::uint64_t ends = ~text & before;
            const std::size_t base = word * 64;
            const auto next = [base](std::uint64_t& bits) {
                const std::size_t position = base + static_cast<std::size_t>(std::countr_zero(bits));
                bits &= bits - 1;
                return position;
            };
            if (open_start) {
                if (ends == 0) {
                    continue;
                }
                tokens[count++] = std::string_view(row.data() + *open_start, next(ends) - *open_start);
                open_start.reset();
            }
            while (starts != 0 && count < limit) {
                const std::size_t start = next(starts);
                if (ends == 0) {
                    open_start = start;
                    break;
                }
                tokens[count++] = std::string_view(row.data() + start, next(ends) - start);
            }
            if (count >= limit) {
                break;
            }
        }
        return count;
    }

    // classify_block of the row's 64 bytes from offset on, the bytes past its end taken as blanks.
    static std::uint64_t classify_word(std::string_view row, std::size_t offset, std::uint64_t& special) {
        const std::size_t left = row.size() - offset;
        if (left >= 64) {
            return classify_block(row.data() + offset, special);
        }
        if (left == 0) {
            special = 0;
            return ~std::uint64_t{0};
        }
        const std::uint64_t past_end = ~std::uint64_t{0} << left;
        if (row.size() >= 64) {
            // The row's last 64 bytes, shifted into place: a copy into a padded block stalled
            // its loads, which could not take their bytes from the copy's stores.
            const std::uint64_t spaces = classify_block(row.data() + row.size() - 64, special) >> (64 - left);
            special >>= 64 - left;
            return spaces | past_end;
        }
        char padded[64];
        std::memset(padded, ' ', sizeof padded);
        std::memcpy(padded, row.data() + offset, left);
        return classify_block(padded, special);
    }

    std::string_view join(std::string_view head, std::string_view tail) {
        const std::size_t offset = scratch_.size();
        scratch_.append(head);
        scratch_.append(tail);
        return std::string_view(scratch_).substr(offset);
    }

    std::vector<std::string_view> tokens_;
    std::vector<std::string_view> plain_tokens_;  // at least as many as the limit; the first ones hold a row
    std::string scratch_;
    std::vector<std::uint64_t> space_words_;  // bit i of word w: row byte 64w + i is white space
};

// A row's tokens as values of the table's items.
class RowTokens {
public:
    RowTokens(const AtomSiteColumns& columns, std::span<const std::string_view> tokens)
        : columns_(columns), tokens_(tokens) {}

    // The item's token, or null when the table or the row lacks it. A pointer rather than an
    // optional: an optional built and read back on the stack stalled every row.
    const std::string_view* text(AtomSiteItem item) const {
        const Column& column = columns_[item];
        if (column.position >= tokens_.size()) {
            return nullptr;
        }
        return &tokens_[column.position];
    }

    Coordinate coordinate(AtomSiteItem item, float& out) const {
        const std::string_view* token = text(item);
        return token ? parse_coordinate(*token, out) : Coordinate::absent;
    }

    bool integer(AtomSiteItem item, std::int32_t& out) const {
        const std::string_view* token = text(item);
        if (!token) return false;
        const auto parsed = parse_i32(*token);
        out = parsed.value;
        return parsed.ok();
    }

private:
    const AtomSiteColumns& columns_;
    std::span<const std::string_view> tokens_;
};

// How many tokens of a row reach every item the rows are decoded from.
std::size_t tokens_needed(const AtomSiteColumns& columns, const PreferredItems& preferred) {
    std::size_t needed = 0;
    for (const AtomSiteItem item :
         {kAtomId, kCompId, kCartnX, kCartnY, kCartnZ, preferred.chain, preferred.seq, kInsCode, kAltId, kModelNum}) {
        if (columns[item].seen) needed = std::max(needed, columns[item].position + 1);
    }
    return needed;
}

}  // namespace

ReadResult parse_mmcif(FileDescriptor file) {
    FileSource source(std::move(file));
    return parse_mmcif(source);
}

namespace {

// Reads the atom table and hands every decoded row to `take`, in file order. Decoding and
// placement share one pass: a decoding error anywhere still ends the read.
template <class Take>
std::optional<InputError> read_rows(ByteSource& source, Take take) {
    AtomSiteScanner scanner;
    {
        LineReader reader(source);
        while (const auto line = reader.next()) {
            scanner.scan(*line, reader.line_is_ascii(), reader.lines_outlive_calls());
        }
        if (reader.error()) {
            return InputError::io(*reader.error());
        }
    }
    const RowStore& rows = scanner.rows();
    if (rows.size() == 0) {
        return InputError::empty();
    }
    const AtomSiteColumns& columns = scanner.columns();
    const PreferredItems preferred = preferred_items(columns[kAuthAsymId].seen, columns[kAuthSeqId].seen);
    const std::size_t needed = tokens_needed(columns, preferred);
    Tokenizer tokenizer;
    AtomSiteRow row;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const RowTokens tokens(columns, tokenizer.split(rows[i], needed));
        if (auto error = decode_atom_site_row(tokens, preferred, row)) {
            return error;
        }
        take(row);
    }
    return std::nullopt;
}

}  // namespace

ReadResult parse_mmcif(ByteSource& source) {
    return read_first_model([&](auto take) { return read_rows(source, take); });
}

std::optional<InputError> parse_mmcif_models(ByteSource& source, const ModelVisitor& visit) {
    return read_every_model([&](auto take) { return read_rows(source, take); }, visit);
}

}  // namespace tarnix::io
