// BinaryCIF that is broken in each way a file can be: an error with a clear text, never a crash,
// and no allocation beyond what the bytes back. Well-formed files are checked against the
// mmCIF text of the same data by the Python tests.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "io/bcif_encodings.hpp"
#include "io/byte_source.hpp"
#include "io/readers.hpp"
#include "io/text.hpp"

namespace tarnix::io {
namespace {

// Writes MessagePack in its shortest forms, as common writers do.
class Packer {
public:
    void pack_nil() { out_.push_back('\xc0'); }
    void pack(bool value) { out_.push_back(value ? '\xc3' : '\xc2'); }
    void pack(std::int64_t value) {
        if (value >= 0) {
            const auto u = static_cast<std::uint64_t>(value);
            if (u <= 0x7f) return out_.push_back(static_cast<char>(u));
            if (u <= 0xff) return head(0xcc, u, 1);
            if (u <= 0xffff) return head(0xcd, u, 2);
            if (u <= 0xffffffff) return head(0xce, u, 4);
            return head(0xcf, u, 8);
        }
        const auto bits = static_cast<std::uint64_t>(value);
        if (value >= -32) return out_.push_back(static_cast<char>(bits & 0xff));
        if (value >= INT8_MIN) return head(0xd0, bits, 1);
        if (value >= INT16_MIN) return head(0xd1, bits, 2);
        if (value >= INT32_MIN) return head(0xd2, bits, 4);
        head(0xd3, bits, 8);
    }
    void pack_double(double value) { head(0xcb, std::bit_cast<std::uint64_t>(value), 8); }
    void pack_array(std::uint32_t size) { sized(0x90, 0xdc, size); }
    void pack_map(std::uint32_t size) { sized(0x80, 0xde, size); }
    void pack_str(std::string_view text) {
        if (text.size() < 32) {
            out_.push_back(static_cast<char>(0xa0 | text.size()));
        } else {
            head(0xdb, text.size(), 4);
        }
        out_.append(text);
    }
    void pack_bin(std::string_view bytes) {
        head(0xc6, bytes.size(), 4);
        out_.append(bytes);
    }
    const std::string& bytes() const { return out_; }

private:
    void head(unsigned lead, std::uint64_t value, int width) {
        out_.push_back(static_cast<char>(lead));
        for (int i = width - 1; i >= 0; --i) out_.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
    void sized(unsigned fix, unsigned wide, std::uint32_t size) {
        if (size < 16) return out_.push_back(static_cast<char>(fix | size));
        head(wide + 1, size, 4);
    }

    std::string out_;
};

using PackValue = std::function<void(Packer&)>;

void pack_text(Packer& p, std::string_view text) { p.pack_str(text); }
void pack_bytes(Packer& p, std::string_view bytes) { p.pack_bin(bytes); }

// A map of text keys to values packed by the callbacks.
PackValue map(std::vector<std::pair<std::string, PackValue>> entries) {
    return [entries](Packer& p) {
        p.pack_map(static_cast<std::uint32_t>(entries.size()));
        for (const auto& [key, value] : entries) {
            pack_text(p, key);
            value(p);
        }
    };
}

PackValue list(std::vector<PackValue> items) {
    return [items](Packer& p) {
        p.pack_array(static_cast<std::uint32_t>(items.size()));
        for (const auto& item : items) item(p);
    };
}

PackValue text(std::string value) {
    return [value](Packer& p) { pack_text(p, value); };
}
PackValue bytes(std::string value) {
    return [value](Packer& p) { pack_bytes(p, value); };
}
PackValue integer(std::int64_t value) {
    return [value](Packer& p) { p.pack(value); };
}
PackValue boolean(bool value) {
    return [value](Packer& p) { p.pack(value); };
}

template <class T>
std::string little_endian(std::vector<T> values) {
    std::string out(values.size() * sizeof(T), '\0');
    std::memcpy(out.data(), values.data(), out.size());
    return out;
}

PackValue byte_array(int type) { return map({{"kind", text("ByteArray")}, {"type", integer(type)}}); }

PackValue data(std::string raw, std::vector<PackValue> encoding) {
    return map({{"data", bytes(std::move(raw))}, {"encoding", list(std::move(encoding))}});
}

PackValue column(std::string name, PackValue values) {
    return map(
        {{"name", text(std::move(name))}, {"data", std::move(values)}, {"mask", [](Packer& p) { p.pack_nil(); }}});
}

// Texts as a StringArray whose indices and offsets are int32 byte arrays.
PackValue strings(const std::vector<std::string>& values) {
    std::string joined;
    std::vector<std::int32_t> offsets = {0};
    std::vector<std::int32_t> indices;
    for (const auto& value : values) {
        joined += value;
        offsets.push_back(static_cast<std::int32_t>(joined.size()));
        indices.push_back(static_cast<std::int32_t>(indices.size()));
    }
    return data(little_endian(indices), {map({{"kind", text("StringArray")},
                                              {"dataEncoding", list({byte_array(3)})},
                                              {"stringData", text(joined)},
                                              {"offsetEncoding", list({byte_array(3)})},
                                              {"offsets", bytes(little_endian(offsets))}})});
}

PackValue floats(std::vector<float> values) { return data(little_endian(values), {byte_array(32)}); }

// One residue's backbone; `replace` swaps in other columns by name, `rows` overrides the count.
std::string file(std::vector<std::pair<std::string, PackValue>> replace = {}, std::int64_t rows = 4) {
    std::vector<std::pair<std::string, PackValue>> columns = {
        {"label_atom_id", strings({"N", "CA", "C", "O"})}, {"label_comp_id", strings({"GLY", "GLY", "GLY", "GLY"})},
        {"Cartn_x", floats({0.0f, 1.46f, 2.0f, 1.5f})},    {"Cartn_y", floats({0.0f, 0.0f, 1.4f, 2.5f})},
        {"Cartn_z", floats({0.0f, 0.0f, 0.0f, 0.3f})},
    };
    for (auto& [name, values] : replace) {
        bool found = false;
        for (auto& entry : columns) {
            if (entry.first == name) entry.second = values, found = true;
        }
        if (!found) columns.emplace_back(name, values);
    }
    std::vector<PackValue> packed;
    for (auto& [name, values] : columns) packed.push_back(column(name, values));
    const PackValue category =
        map({{"name", text("_atom_site")}, {"rowCount", integer(rows)}, {"columns", list(packed)}});
    const PackValue whole =
        map({{"version", text("0.3.0")},
             {"encoder", text("test")},
             {"dataBlocks", list({map({{"header", text("TEST")}, {"categories", list({category})}})})}});
    Packer packer;
    whole(packer);
    return packer.bytes();
}

// Packs a data map and decodes it as a column's data.
std::variant<bcif::Values, std::string> decode(const PackValue& packed, std::int64_t limit) {
    Packer packer;
    packed(packer);
    MsgpackWalk walk(packer.bytes());
    const auto tree = walk.decode(1 << 16, 32);
    if (!tree) return std::string("not MessagePack");
    return bcif::decode(tree->root(), limit);
}

std::string read_error(std::string_view content) {
    MemorySource source(content);
    const ReadResult result = parse_bcif(source);
    const auto* error = std::get_if<InputError>(&result);
    return error != nullptr ? error->message() : std::string("<read>");
}

const std::string kInvalid = "Invalid BinaryCIF: ";

TEST(BinaryCifReader, ReadsTheBackboneFile) {
    const std::string content = file();
    MemorySource source(content);
    const ReadResult result = parse_bcif(source);
    ASSERT_TRUE(std::holds_alternative<core::Structure>(result)) << read_error(content);
    const auto& residues = std::get<core::Structure>(result).residues;
    ASSERT_EQ(residues.size(), 1u);
    EXPECT_EQ(residues[0].ca.x, 1.46f);
    EXPECT_EQ(residues[0].chain_id, "A");
    EXPECT_EQ(residues[0].seq_id, 1);
}

TEST(BinaryCifReader, GivesAClearErrorForEachBrokenFile) {
    const std::string whole = file();
    std::string huge_list =
        "\x81\xaa"
        "dataBlocks"
        "\xdd\xff\xff\xff\xff";
    std::string huge_bytes =
        "\x81\xaa"
        "dataBlocks"
        "\x91\x81\xa4"
        "data"
        "\xc6\xff\xff\xff\xf0";
    const PackValue deep = [](Packer& p) {
        for (int i = 0; i < 200; ++i) p.pack_array(1);
        p.pack_nil();
    };
    const auto coordinate = [](std::vector<PackValue> encoding,
                               std::string raw = little_endian(std::vector<std::int32_t>{1, 2, 3, 4})) {
        return std::vector<std::pair<std::string, PackValue>>{{"Cartn_x", data(std::move(raw), std::move(encoding))}};
    };
    const auto run_length = [](std::int64_t size) {
        return map({{"kind", text("RunLength")}, {"srcType", integer(3)}, {"srcSize", integer(size)}});
    };
    const auto packing = [](std::int64_t size) {
        return map({{"kind", text("IntegerPacking")},
                    {"byteCount", integer(1)},
                    {"isUnsigned", boolean(false)},
                    {"srcSize", integer(size)}});
    };
    const std::string many_rows = file({}, std::int64_t{1} << 30);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Empty file or no valid records"},
        {"\xc1", kInvalid + "not MessagePack data"},
        {whole.substr(0, whole.size() / 2), kInvalid + "the data end early (a truncated file?)"},
        {"\x2a", kInvalid + "no list of 'dataBlocks'"},
        {huge_list, kInvalid + "the data end early (a truncated file?)"},
        // An extension value whose type byte is cut off: its header is longer than the bytes left.
        {std::string("\x82\xaa"
                     "dataBlocks"
                     "\x90\xa1x\xd4"),
         kInvalid + "the data end early (a truncated file?)"},
        {std::string("\x82\xaa"
                     "dataBlocks"
                     "\x90\xa1x\xc7\x05"),
         kInvalid + "the data end early (a truncated file?)"},
        {huge_bytes, kInvalid + "the data end early (a truncated file?)"},
        {file({{"Cartn_x", deep}}), kInvalid + "lists or maps longer or deeper than any BinaryCIF file holds"},
        {std::string(200, '\x91'), kInvalid + "no list of 'dataBlocks'"},
        {whole + "\xc1", kInvalid + "bytes after the end of the MessagePack data"},
        {file({}, 0), "Empty file or no valid records"},
        {file({}, -1), kInvalid + "_atom_site lacks a valid 'rowCount'"},
        {file({}, 5), kInvalid + "column label_atom_id: 4 values for 5 rows"},
        // Run lengths would make a billion rows of a few bytes; the row count is refused first.
        {many_rows, kInvalid + "_atom_site claims 1073741824 rows, more than a file of " +
                        std::to_string(many_rows.size()) + " bytes can hold"},
        {file(coordinate({run_length(11), byte_array(3)}, little_endian(std::vector<std::int32_t>{7, 11}))),
         kInvalid + "column Cartn_x: RunLength lacks a valid 'srcSize'"},
        {file({{"Cartn_x", text("x")}}), kInvalid + "column Cartn_x: no bytes under 'data'"},
        {file(coordinate({map({{"kind", text("FixedPoint")}, {"factor", integer(1000)}})})),
         kInvalid + "column Cartn_x: FixedPoint needs integers, not bytes"},
        {file(coordinate({})), kInvalid + "column Cartn_x: the encodings leave bytes undecoded"},
        {file(coordinate({map({{"kind", text("Zip")}})})), kInvalid + "column Cartn_x: unknown encoding 'Zip'"},
        {file(coordinate({map({{"type", integer(3)}})})), kInvalid + "column Cartn_x: an encoding lacks its 'kind'"},
        {file(coordinate({byte_array(7)})), kInvalid + "column Cartn_x: ByteArray lacks a valid 'type'"},
        {file(coordinate({byte_array(3)}, "12345")),
         kInvalid + "column Cartn_x: ByteArray of 5 bytes does not hold whole values of 4 bytes"},
        {file(coordinate({byte_array(3)}, little_endian(std::vector<std::int32_t>{1, 2}))),
         kInvalid + "column Cartn_x: 2 values for 4 rows"},
        {file(coordinate({run_length(std::int64_t{1} << 40), byte_array(3)})),
         kInvalid + "column Cartn_x: RunLength lacks a valid 'srcSize'"},
        {file(coordinate({run_length(4), byte_array(3)}, little_endian(std::vector<std::int32_t>{7, 3, 8, -1}))),
         kInvalid + "column Cartn_x: RunLength counts do not add up to its srcSize 4"},
        {file(coordinate({run_length(4), byte_array(3)}, little_endian(std::vector<std::int32_t>{7, 3}))),
         kInvalid + "column Cartn_x: RunLength counts do not add up to its srcSize 4"},
        {file(coordinate({packing(4), byte_array(1)}, std::string("\x01\x02\x03\x7f", 4))),
         kInvalid + "column Cartn_x: IntegerPacking data end inside a value"},
        {file(coordinate({packing(3), byte_array(1)}, std::string("\x01\x02\x03\x04", 4))),
         kInvalid + "column Cartn_x: IntegerPacking data hold more than its srcSize 3 values"},
        {file(coordinate({map({{"kind", text("IntervalQuantization")},
                               {"min", integer(0)},
                               {"max", integer(1)},
                               {"numSteps", integer(1)}}),
                          byte_array(3)})),
         kInvalid + "column Cartn_x: IntervalQuantization lacks a valid 'numSteps'"},
        {file({{"label_comp_id", data(little_endian(std::vector<std::int32_t>{0, 0, 0, 1}),
                                      {map({{"kind", text("StringArray")},
                                            {"dataEncoding", list({byte_array(3)})},
                                            {"stringData", text("GLY")},
                                            {"offsetEncoding", list({byte_array(3)})},
                                            {"offsets", bytes(little_endian(std::vector<std::int32_t>{0, 3}))}})})}}),
         kInvalid + "column label_comp_id: StringArray index 1 past its 1 strings"},
        {file({{"label_comp_id", data(little_endian(std::vector<std::int32_t>{0, 0, 0, 0}),
                                      {map({{"kind", text("StringArray")},
                                            {"dataEncoding", list({byte_array(3)})},
                                            {"stringData", text("GLY")},
                                            {"offsetEncoding", list({byte_array(3)})},
                                            {"offsets", bytes(little_endian(std::vector<std::int32_t>{0, 9}))}})})}}),
         kInvalid + "column label_comp_id: StringArray offsets do not rise within its stringData"},
        {file({{"label_comp_id", floats({1, 2, 3, 4})}, {"Cartn_y", strings({"1", "2", "x", "4"})}}),
         "Invalid number: invalid float literal"},
    };
    for (const auto& [content, message] : cases) {
        EXPECT_EQ(read_error(content), message) << testing::PrintToString(content.substr(0, 40));
    }
}

// Packed values sum consecutive numbers at the type's limit; signed types use both limits.
TEST(BinaryCifEncodings, IntegerPackingSumsValuesAtTheLimits) {
    struct Case {
        int byte_count;
        bool is_unsigned;
        std::vector<std::int64_t> packed;
        std::vector<std::int64_t> expected;
    };
    const Case cases[] = {
        {1, false, {127, 127, 5, -128, -3, 0, -128, 126}, {259, -131, 0, -2}},
        {1, true, {255, 1, 254, 255, 255, 0}, {256, 254, 510}},
        {2, false, {32767, 1, -32768, -32768, -2}, {32768, -65538}},
        {2, true, {65535, 65535, 7}, {131077}},
    };
    for (const Case& c : cases) {
        const int type = c.byte_count == 1 ? (c.is_unsigned ? 4 : 1) : (c.is_unsigned ? 5 : 2);
        std::string raw;
        for (const std::int64_t value : c.packed) {
            const auto bits = static_cast<std::uint16_t>(value);
            raw.push_back(static_cast<char>(bits & 0xFF));
            if (c.byte_count == 2) raw.push_back(static_cast<char>(bits >> 8));
        }
        const PackValue packed = data(raw, {map({{"kind", text("IntegerPacking")},
                                                 {"byteCount", integer(c.byte_count)},
                                                 {"isUnsigned", boolean(c.is_unsigned)},
                                                 {"srcSize", integer(static_cast<std::int64_t>(c.expected.size()))}}),
                                            byte_array(type)});
        auto decoded = decode(packed, 100);
        ASSERT_TRUE(std::holds_alternative<bcif::Values>(decoded)) << std::get<std::string>(decoded);
        EXPECT_EQ(std::get<bcif::Values>(decoded).integers, c.expected);
    }
}

// Fixed-point integers become the float the text reader parses from the same decimal, checked
// against that parser for every value up to 1000 (thousandths) or 10000 (tenths, hundredths).
TEST(BinaryCifEncodings, FixedPointGivesTheTextReadersFloats) {
    for (const std::int32_t factor : {10, 100, 1000}) {
        const std::int32_t last = factor == 1000 ? 1000000 : 10000 * factor;
        std::vector<std::int32_t> integers;
        for (std::int32_t n = -last; n <= last; ++n) integers.push_back(n);
        const PackValue packed =
            data(little_endian(integers),
                 {map({{"kind", text("FixedPoint")}, {"factor", integer(factor)}, {"srcType", integer(32)}}),
                  byte_array(3)});
        auto decoded = decode(packed, static_cast<std::int64_t>(integers.size()));
        ASSERT_TRUE(std::holds_alternative<bcif::Values>(decoded));
        const std::vector<double>& reals = std::get<bcif::Values>(decoded).reals;
        const int digits = factor == 10 ? 1 : factor == 100 ? 2 : 3;
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < integers.size(); ++i) {
            const std::int32_t n = integers[i];
            char decimal[32];
            const std::int32_t magnitude = n < 0 ? -n : n;
            std::snprintf(decimal, sizeof decimal, "%s%d.%0*d", n < 0 ? "-" : "", magnitude / factor, digits,
                          magnitude % factor);
            const float expected = parse_f32(decimal).value;
            if (std::bit_cast<std::uint32_t>(static_cast<float>(reals[i])) != std::bit_cast<std::uint32_t>(expected)) {
                if (++mismatches < 5) ADD_FAILURE() << decimal << " at factor " << factor;
            }
        }
        EXPECT_EQ(mismatches, 0u) << "factor " << factor;
    }
}

PackValue real(double value) {
    return [value](Packer& p) { p.pack_double(value); };
}

PackValue int32s(std::vector<std::int32_t> values, std::vector<PackValue> encoding) {
    encoding.push_back(byte_array(3));
    return data(little_endian(values), std::move(encoding));
}

// The number decoders against values worked out by hand, alone and chained as files chain them.
TEST(BinaryCifEncodings, DecodersGiveTheValuesWorkedOutByHand) {
    const auto quantized = [](double min, double max, std::int64_t steps) {
        return map({{"kind", text("IntervalQuantization")},
                    {"min", real(min)},
                    {"max", real(max)},
                    {"numSteps", integer(steps)},
                    {"srcType", integer(32)}});
    };
    const auto delta = [](std::int64_t origin) {
        return map({{"kind", text("Delta")}, {"origin", integer(origin)}, {"srcType", integer(3)}});
    };
    const auto run_length = [](std::int64_t size) {
        return map({{"kind", text("RunLength")}, {"srcType", integer(3)}, {"srcSize", integer(size)}});
    };
    // Steps of (max - min) / (numSteps - 1): 0.5 from -1.5 to 1.5 over seven steps.
    auto reals = decode(int32s({0, 1, 6, 3, 2}, {quantized(-1.5, 1.5, 7)}), 100);
    ASSERT_TRUE(std::holds_alternative<bcif::Values>(reals)) << std::get<std::string>(reals);
    EXPECT_EQ(std::get<bcif::Values>(reals).reals, (std::vector<double>{-1.5, -1.0, 1.5, 0.0, -0.5}));
    reals = decode(int32s({0, 1, 3}, {quantized(10, 11, 2)}), 100);
    ASSERT_TRUE(std::holds_alternative<bcif::Values>(reals));
    EXPECT_EQ(std::get<bcif::Values>(reals).reals, (std::vector<double>{10, 11, 13}));

    const struct {
        std::vector<std::int32_t> raw;
        std::vector<PackValue> encoding;
        std::vector<std::int64_t> expected;
    } cases[] = {
        // A running sum from the origin, the first value included.
        {{0, 5, -3, 2}, {delta(10)}, {10, 15, 12, 14}},
        {{4, -1}, {delta(-7)}, {-3, -4}},
        {{7, 3, -2, 1, 0, 2}, {run_length(6)}, {7, 7, 7, -2, 0, 0}},
        {{5, 0, 9, 2}, {run_length(2)}, {9, 9}},
        // Serial numbers as deposited files hold them: runs of steps, then the running sum.
        {{1, 3, 10, 1, 1, 2}, {delta(100), run_length(6)}, {101, 102, 103, 113, 114, 115}},
    };
    for (const auto& c : cases) {
        const auto integers = decode(int32s(c.raw, c.encoding), 100);
        ASSERT_TRUE(std::holds_alternative<bcif::Values>(integers)) << std::get<std::string>(integers);
        EXPECT_EQ(std::get<bcif::Values>(integers).integers, c.expected);
    }
}

// A cut anywhere, or anything after the document, fails the read: nothing past the atom table
// is taken on trust.
TEST(BinaryCifReader, RefusesEveryCutAndEveryTail) {
    const std::string whole = file();
    for (std::size_t size = 1; size < whole.size(); ++size) {
        EXPECT_EQ(read_error(whole.substr(0, size)), kInvalid + "the data end early (a truncated file?)") << size;
    }
    for (const std::string& tail : {std::string(1, '\0'), std::string("\x90"), whole}) {
        EXPECT_EQ(read_error(whole + tail), kInvalid + "bytes after the end of the MessagePack data");
    }
}

// Claimed rows are weighed by what their decoded columns cost against the file's size: the
// same count passes with few columns in a large enough file and fails with more.
TEST(BinaryCifReader, WeighsClaimedRowsByTheirColumns) {
    const auto claims = [](std::string content) {
        const std::string error = read_error(content);
        return error.find("rows, more than a file of") != std::string::npos;
    };
    // Five columns cost 61 bytes a row (a value and a mask each, and 16 while decoding); the
    // row count takes three bytes for any count from 256 to 65535.
    const auto size = static_cast<std::int64_t>(file({}, 1000).size());
    const std::int64_t five = (32 * size + (std::int64_t{1} << 20)) / 61;
    EXPECT_FALSE(claims(file({}, five)));
    EXPECT_TRUE(claims(file({}, five + 1)));
    const std::string many_rows = file({}, std::int64_t{32} << 20);
    EXPECT_EQ(read_error(many_rows), kInvalid + "_atom_site claims 33554432 rows, more than a file of " +
                                         std::to_string(many_rows.size()) + " bytes can hold");
}

}  // namespace
}  // namespace tarnix::io
