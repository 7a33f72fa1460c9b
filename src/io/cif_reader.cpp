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
#include <utility>
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

// Bits of the 64 bytes at block that are blanks; `special` tells whether any byte sends the row
// to the character path: a quote, a control character (the white space other than the blank
// among them) or a byte that is not ASCII. Rows of such bytes are rare: two tests a byte, and
// one look at all their results together, suffice.
std::uint64_t classify_block(const char* block, bool& special) {
    std::uint64_t spaces = 0;
#ifdef TARNIX_X86_SIMD
    __m128i odd = _mm_setzero_si128();
    for (int part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
        const __m128i space = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
        // A signed comparison: the bytes from 0x80 on lie below the blank as well.
        odd = _mm_or_si128(odd, _mm_cmpgt_epi8(_mm_set1_epi8(' '), bytes));
        odd = _mm_or_si128(odd, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\'')));
        odd = _mm_or_si128(odd, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')));
        spaces |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(space))) << (16 * part);
    }
    special = _mm_movemask_epi8(odd) != 0;
#else
    special = false;
    for (int i = 0; i < 64; ++i) {
        const auto c = static_cast<unsigned char>(block[i]);
        spaces |= static_cast<std::uint64_t>(c == ' ') << i;
        special = special || c < ' ' || c >= 0x80 || c == '\'' || c == '"';
    }
#endif
    return spaces;
}

// Splits rows into tokens. Only the first tokens of a row, up to the last wanted one, are
// produced, which is enough to tell whether a row reaches a column; of those only the wanted
// ones are sure to be filled in (the others may hold anything). Tokens view the row or the
// scratch buffer.
class Tokenizer {
public:
    // wanted[p]: whether the token at position p is read.
    explicit Tokenizer(std::vector<char> wanted) : wanted_(std::move(wanted)) {}

    std::span<const std::string_view> split(std::string_view row) {
        const std::size_t limit = wanted_.size();
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
    // Rows of printable ASCII without quotes, the usual kind, split where the blank bits change,
    // found a word of 64 bytes at a time, into plain_tokens_. Returns the token count, or
    // nothing for any other row.
    std::optional<std::size_t> split_plain(std::string_view row, std::size_t limit) {
        // One word more than the row fills, so that white space always follows the last token.
        const std::size_t words = row.size() / 64 + 1;
        bits_.resize(words);
        // A token starts where text follows white space and ends where white space follows text.
        bool same_starts = last_start_words_.size() == words;
        std::uint64_t carry = 0;  // 1 when the byte before the word is not white space
        for (std::size_t word = 0; word < words; ++word) {
            bool special;
            const std::uint64_t space = classify_word(row, word * 64, special);
            if (special) {
                return std::nullopt;
            }
            const std::uint64_t text = ~space;
            const std::uint64_t before = (text << 1) | carry;
            carry = text >> 63;
            bits_[word] = WordBits{space, text & ~before, space & before};
            same_starts = same_starts && bits_[word].starts == last_start_words_[word];
        }
        if (plain_tokens_.size() < limit) {
            plain_tokens_.resize(limit);
        }
        // Columns padded to a common width, as most files write them, start every row's tokens
        // where the last row's started: the wanted ones are found from their starts alone.
        if (same_starts) {
            for (const auto& [position, start] : last_wanted_starts_) {
                plain_tokens_[position] = std::string_view(row.data() + start, blank_after(start) - start);
            }
            return last_count_;
        }
        const std::size_t count = split_by_bits(row, limit);
        last_start_words_.resize(words);
        for (std::size_t word = 0; word < words; ++word) last_start_words_[word] = bits_[word].starts;
        last_wanted_starts_.clear();
        for (std::size_t position = 0; position < count; ++position) {
            if (wanted_[position]) {
                last_wanted_starts_.emplace_back(position,
                                                 static_cast<std::size_t>(plain_tokens_[position].data() - row.data()));
            }
        }
        last_count_ = count;
        return count;
    }

    // The first white space after a token's start (there is one: the last word ends in blanks).
    std::size_t blank_after(std::size_t start) const {
        std::size_t word = start / 64;
        const std::uint64_t rest = bits_[word].spaces >> (start % 64);
        if (rest != 0) return start + static_cast<std::size_t>(std::countr_zero(rest));
        while (bits_[++word].spaces == 0) {
        }
        return word * 64 + static_cast<std::size_t>(std::countr_zero(bits_[word].spaces));
    }

    // The tokens from the start and end bits: starts and ends alternate, so the k-th end of a word
    // closes its k-th start, after the end owed to a start left open by an earlier word. A token
    // nobody reads is passed over by dropping its two bits, without working out where it lies.
    std::size_t split_by_bits(std::string_view row, std::size_t limit) {
        std::string_view* tokens = plain_tokens_.data();
        const char* wanted = wanted_.data();
        std::size_t count = 0;
        bool open = false;
        std::size_t open_start = 0;
        for (std::size_t word = 0; word < bits_.size(); ++word) {
            std::uint64_t starts = bits_[word].starts;
            std::uint64_t ends = bits_[word].ends;
            const std::size_t base = word * 64;
            const auto next = [base](std::uint64_t& bits) {
                const std::size_t position = base + static_cast<std::size_t>(std::countr_zero(bits));
                bits &= bits - 1;
                return position;
            };
            if (open) {
                if (ends == 0) {
                    continue;
                }
                const std::size_t end = next(ends);
                if (wanted[count]) tokens[count] = std::string_view(row.data() + open_start, end - open_start);
                ++count;
                open = false;
            }
            while (starts != 0 && count < limit) {
                if (ends == 0) {
                    open_start = next(starts);
                    open = true;
                    break;
                }
                if (wanted[count]) {
                    const std::size_t start = next(starts);
                    tokens[count] = std::string_view(row.data() + start, next(ends) - start);
                } else {
                    starts &= starts - 1;
                    ends &= ends - 1;
                }
                ++count;
            }
            if (count >= limit) {
                break;
            }
        }
        return count;
    }

    // classify_block of the row's 64 bytes from offset on, the bytes past its end taken as blanks.
    static std::uint64_t classify_word(std::string_view row, std::size_t offset, bool& special) {
        const std::size_t left = row.size() - offset;
        if (left >= 64) {
            return classify_block(row.data() + offset, special);
        }
        if (left == 0) {
            special = false;
            return ~std::uint64_t{0};
        }
        const std::uint64_t past_end = ~std::uint64_t{0} << left;
        if (row.size() >= 64) {
            // The row's last 64 bytes, shifted into place: a copy into a padded block stalled
            // its loads, which could not take their bytes from the copy's stores. The bytes
            // shifted out belong to the word before, already found plain.
            return (classify_block(row.data() + row.size() - 64, special) >> (64 - left)) | past_end;
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

    std::vector<char> wanted_;
    std::vector<std::string_view> tokens_;
    std::vector<std::string_view> plain_tokens_;  // at least as many as the limit; the wanted ones hold a row
    std::string scratch_;
    // Bit i of word w of each: row byte 64w + i is white space, starts a token, ends one (is
    // white space after text).
    struct WordBits {
        std::uint64_t spaces;
        std::uint64_t starts;
        std::uint64_t ends;
    };
    std::vector<WordBits> bits_;
    // The last plain row split by its bits: its start bits, its wanted tokens' positions and
    // starts, and its token count.
    std::vector<std::uint64_t> last_start_words_;
    std::vector<std::pair<std::size_t, std::size_t>> last_wanted_starts_;
    std::size_t last_count_ = 0;
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
        // Sequence and model numbers are mostly a few digits, read here without a call.
        if (!token->empty() && token->size() <= 4) {
            std::int32_t value = 0;
            bool digits = true;
            for (const char c : *token) {
                const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
                digits = digits && digit <= 9;
                value = value * 10 + static_cast<std::int32_t>(digit);
            }
            if (digits) {
                out = value;
                return true;
            }
        }
        const auto parsed = parse_i32(*token);
        out = parsed.value;
        return parsed.ok();
    }

private:
    const AtomSiteColumns& columns_;
    std::span<const std::string_view> tokens_;
};

// Which token positions of a row the rows are decoded from (those of every item
// decode_atom_site_row reads), up to the last of them.
std::vector<char> wanted_tokens(const AtomSiteColumns& columns, const PreferredItems& preferred) {
    std::vector<char> wanted;
    for (const AtomSiteItem item :
         {kAtomId, kCompId, kCartnX, kCartnY, kCartnZ, preferred.chain, preferred.seq, kInsCode, kAltId, kModelNum}) {
        if (!columns[item].seen) continue;
        const std::size_t position = columns[item].position;
        if (wanted.size() <= position) wanted.resize(position + 1, 0);
        wanted[position] = 1;
    }
    return wanted;
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
    Tokenizer tokenizer(wanted_tokens(columns, preferred));
    AtomSiteRow row;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const RowTokens tokens(columns, tokenizer.split(rows[i]));
        if (auto error = decode_atom_site_row(tokens, preferred, row)) {
            return error;
        }
        take(row);
    }
    return std::nullopt;
}

}  // namespace

ReadResult parse_mmcif(ByteSource& source, ResidueRules rules) {
    return read_first_model([&](auto take) { return read_rows(source, take); }, rules);
}

std::optional<InputError> parse_mmcif_models(ByteSource& source, const ModelVisitor& visit, ResidueRules rules) {
    return read_every_model([&](auto take) { return read_rows(source, take); }, visit, rules);
}

}  // namespace tarnix::io
