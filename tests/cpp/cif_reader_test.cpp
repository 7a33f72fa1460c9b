#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

using testing::read_error;
using testing::read_ok;
using testing::TempDir;

const std::vector<std::string> kItems = {
    "group_PDB",     "id",           "label_atom_id",     "label_alt_id",      "label_comp_id",
    "label_asym_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x",           "Cartn_y",
    "Cartn_z",       "auth_seq_id",  "auth_asym_id",      "pdbx_PDB_model_num"};

std::string header(const std::vector<std::string>& items) {
    std::string text = "data_TEST\n#\nloop_\n";
    for (const auto& item : items) {
        text += "_atom_site." + item + "\n";
    }
    return text;
}

// A row for kItems.
std::string row(const std::string& atom, const std::string& comp, const std::string& seq, float x = 0.0f,
                const std::string& alt = ".", const std::string& model = "1", const std::string& auth_asym = "B",
                const std::string& ins = "?") {
    return "ATOM 1 " + atom + " " + alt + " " + comp + " A " + seq + " " + ins + " " + std::to_string(x) + " 1.0 2.0 " +
           seq + " " + auth_asym + " " + model + "\n";
}

std::string backbone_rows(const std::string& comp, const std::string& seq, float x = 0.0f,
                          const std::string& model = "1") {
    std::string text;
    for (const char* atom : {"N", "CA", "C", "O"}) {
        text += row(atom, comp, seq, x, ".", model);
        x += 1.0f;
    }
    return text;
}

const char* const kEmpty = "Empty file or no valid records";

TEST(CifReader, PrefersAuthItemsAndFallsBackToLabelThenDefaults) {
    TempDir dir;
    const core::Structure with_auth = read_ok(dir, "a.cif", header(kItems) + backbone_rows("ALA", "5"));
    EXPECT_EQ(with_auth.residues.at(0).chain_id, "B");
    EXPECT_EQ(with_auth.residues.at(0).seq_id, 5);

    const std::string only_label =
        header({"label_atom_id", "label_comp_id", "label_asym_id", "label_seq_id", "Cartn_x", "Cartn_y", "Cartn_z"}) +
        "N ALA C 3 1 2 3\nCA ALA C 3 1 2 3\nC ALA C 3 1 2 3\nO ALA C 3 1 2 3\n";
    const core::Structure labelled = read_ok(dir, "l.cif", only_label);
    EXPECT_EQ(labelled.residues.at(0).chain_id, "C");
    EXPECT_EQ(labelled.residues.at(0).seq_id, 3);

    const std::string neither = header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z"}) +
                                "N GLY 1 2 3\nCA GLY 1 2 3\nC GLY 1 2 3\nO GLY 1 2 3\n";
    const core::Structure plain = read_ok(dir, "n.cif", neither);
    EXPECT_EQ(plain.residues.at(0).chain_id, "A");
    EXPECT_EQ(plain.residues.at(0).seq_id, 1);

    // The preferred item is chosen from the header; a row too short to reach it gets the default.
    const std::string short_row =
        header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z", "label_asym_id", "auth_asym_id"}) +
        "N GLY 1 2 3 Q\nCA GLY 1 2 3 Q\nC GLY 1 2 3 Q\nO GLY 1 2 3 Q\n";
    EXPECT_EQ(read_ok(dir, "s.cif", short_row).residues.at(0).chain_id, "A");
}

TEST(CifReader, SelectsModelNumberOneButDecodesEveryRow) {
    TempDir dir;
    EXPECT_EQ(read_error(dir, "m2.cif", header(kItems) + backbone_rows("ALA", "1", 0, "2")), kEmpty);
    const core::Structure s = read_ok(dir, "m.cif",
                                      header(kItems) + backbone_rows("GLY", "1", 0, "2") +
                                          backbone_rows("ALA", "1", 10) + backbone_rows("SER", "2", 20, "x"));
    ASSERT_EQ(s.residues.size(), 2u);
    EXPECT_EQ(s.residues.at(0).res_name, "ALA");
    EXPECT_EQ(s.residues.at(1).res_name, "SER");  // an unparsable model number counts as 1
    EXPECT_EQ(read_error(dir, "m5.cif",
                         header(kItems) + backbone_rows("ALA", "1") + row("N", "ALA", "2", 0, ".", "5") +
                             "ATOM 1 CA . ALA A 2 ? ? 1.0 2.0 2 B 5\n"),
              "Invalid number: invalid float literal");
}

TEST(CifReader, ReportsTheFirstFailingRowAndItem) {
    TempDir dir;
    const std::vector<std::string> no_comp = {"label_atom_id", "Cartn_x", "Cartn_y", "Cartn_z"};
    const std::pair<std::string, std::string> cases[] = {
        {header(no_comp) + "N 1 2 3\n", "Missing field: label_comp_id"},
        {header({"label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z"}) + "ALA 1 2 3\n", "Missing field: label_atom_id"},
        {header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_z"}) + "N ALA 1 3\n", "Missing field: Cartn_y"},
        {header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z"}) + "N ALA 1 2\n",
         "Missing field: Cartn_z"},
        {header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z"}) + "N ALA . 2 3\n",
         "Invalid number: invalid float literal"},
        {header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z"}) + "N ALA 1 '' 3\n",
         "Invalid number: cannot parse float from empty string"},
        {header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z"}) + "N ALA 1 \" 2\" 3\n",
         "Invalid number: invalid float literal"},
        {header(kItems) + backbone_rows("ALA", "1") + "#\n_atom_type.symbol\n\xE2\x82\n",
         "IO error: stream did not contain valid UTF-8"},
        {"", kEmpty},
        {header(kItems) + "#\n", kEmpty},
        {"data_X\n_cell.length_a 1\n", kEmpty},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(read_error(dir, "e.cif", text), expected) << text;
    }
}

TEST(CifReader, SplitsRowsOnWhiteSpaceAndQuotes) {
    TempDir dir;
    const std::string items = header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z", "group_PDB"});
    const std::string text = items + "N GLY 1 2 3\nCA GLY 1 2 3\nC GLY 1 2 3\nO GLY 1 2 3\n" + "\"O5'\" GLY 1 2 3\n" +
                             "ab\"c d\" GLY\u00A01\u30002 3\n" + "'x'GLY 1 2 3\n" + "'' GLY 4 5 6\n" +
                             "CB GLY 7 8 9 'unclosed tail\n";
    const core::Structure s = read_ok(dir, "q.cif", text);
    ASSERT_EQ(s.residues.size(), 1u);
    std::vector<std::string> names;
    for (const auto& atom : s.residues.at(0).atoms) {
        names.push_back(atom.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"O5'", "abc d", "x", "", "CB"}));
    EXPECT_EQ(s.residues.at(0).atoms[1].position.x, 1.0f);
    EXPECT_EQ(s.residues.at(0).atoms[1].position.y, 2.0f);
    EXPECT_EQ(read_error(dir, "t.cif", items + "N GLY 1 2 'unclosed\n"), "Invalid number: invalid float literal");
}

// Plain ASCII rows are split a block of 64 bytes at a time, rows with quotes or other bytes one
// character at a time. Real files whose rows are pushed onto the other path, or padded to end
// on either side of a block boundary, must read as they are.
TEST(CifReader, RowsReadAlikeOnBothSplittingPathsAndAtEveryBlockBoundary) {
    TempDir dir;
    const auto rewrite_rows = [](const std::string& text, const auto& change) {
        std::string out;
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            std::string line = text.substr(start, end - start);
            if (line.starts_with("ATOM") || line.starts_with("HETATM")) change(line);
            out += line + "\n";
            start = end + 1;
        }
        return out;
    };
    const auto pad_to = [](int offset) {
        return [offset](std::string& line) {
            const std::size_t blocks = (line.size() + 1) / 64 + 1;
            line.resize(static_cast<std::size_t>(static_cast<int>(blocks * 64) + offset), ' ');
        };
    };
    for (const char* file : {"1ubq.cif", "1aki.cif", "1ejg.cif"}) {
        std::ifstream in(testing::test_data(file), std::ios::binary);
        const std::string plain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string expected = testing::describe(read_ok(dir, "plain.cif", plain));
        const std::string variants[] = {
            rewrite_rows(plain, [](std::string& line) { line += " 'quoted tail'"; }),
            rewrite_rows(plain, [](std::string& line) { line += " \u00E9"; }),
            rewrite_rows(plain, [](std::string& line) { std::replace(line.begin(), line.end(), ' ', '\t'); }),
            rewrite_rows(plain, pad_to(-1)),
            rewrite_rows(plain, pad_to(0)),
            rewrite_rows(plain, pad_to(1)),
        };
        for (std::size_t i = 0; i < std::size(variants); ++i) {
            EXPECT_EQ(testing::describe(read_ok(dir, "variant.cif", variants[i])), expected)
                << file << " variant " << i;
        }
    }
    // Blanks in front instead, so that the last token ends the row at every place in a block:
    // rows of about 90 bytes, and rows shorter than a block that grow past it; then the same with
    // the third token from the end quoted (a chain or a coordinate), which only the character
    // path reads right, wherever in the row's last block the quotes fall.
    const auto quote_third_from_end = [](std::string& line) {
        std::size_t end = line.find_last_not_of(' ');
        for (int token = 0; token < 2; ++token) end = line.find_last_not_of(' ', line.find_last_of(' ', end));
        const std::size_t start = line.find_last_of(' ', end) + 1;
        line.insert(end + 1, 1, '\'');
        line.insert(start, 1, '\'');
    };
    for (const char* file : {"1ubq.cif", "1hbb_minimal_ins.cif"}) {
        std::ifstream in(testing::test_data(file), std::ios::binary);
        const std::string plain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string expected = testing::describe(read_ok(dir, "plain.cif", plain));
        for (const bool quoted : {false, true}) {
            for (std::size_t blanks = 0; blanks < 64; ++blanks) {
                std::string shifted;
                bool in_table = false;
                for (std::size_t start = 0; start < plain.size();) {
                    const std::size_t end = std::min(plain.find('\n', start), plain.size());
                    std::string line = plain.substr(start, end - start);
                    const bool item = line.starts_with("_atom_site.");
                    const bool row = in_table && !item && !line.starts_with('#');
                    in_table = item || row;
                    if (row) {
                        line.insert(0, blanks, ' ');
                        if (quoted) quote_third_from_end(line);
                    }
                    shifted += line + "\n";
                    start = end + 1;
                }
                EXPECT_EQ(testing::describe(read_ok(dir, "shifted.cif", shifted)), expected)
                    << file << ", " << blanks << " blanks, quoted " << quoted;
            }
        }
    }
}

// Rows padded into columns start their tokens where the row before did, and are then split
// from those starts alone. Blocks of such rows, whose values end anywhere within their columns,
// cross a 64-byte block or stop short of it, and fall between rows of other layouts, must read
// as the same rows do on the character path (a tab for the first blank sends them there).
TEST(CifReader, RowsInPaddedColumnsReadAsOnTheCharacterPath) {
    TempDir dir;
    const std::vector<std::string> items = {"group_PDB",    "label_atom_id", "id",      "label_comp_id",
                                            "label_asym_id", "label_seq_id", "B_iso",   "Cartn_x",
                                            "Cartn_y",       "Cartn_z",      "occupancy"};
    std::mt19937 random(7);
    const auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const auto number = [&] {
        const std::string sign = pick(0, 1) ? "-" : "";
        const std::string decimals = std::to_string(pick(100, 999)).substr(0, static_cast<std::size_t>(pick(1, 3)));
        return sign + std::to_string(pick(0, pick(0, 1) ? 9 : 99999)) + "." + decimals;
    };
    std::string plain = header(items);
    std::string tabbed = plain;
    const char* const atoms[] = {"N", "CA", "C", "O", "CB", "CG", "CD", "CE"};
    for (int seq = 1; seq <= 300; ++seq) {
        // A residue a block, with widths of its own; some columns wide enough to carry a token
        // over a block boundary.
        std::vector<std::size_t> widths;
        for (std::size_t column = 0; column < items.size(); ++column)
            widths.push_back(static_cast<std::size_t>(pick(1, 4) == 1 ? pick(10, 40) : pick(7, 12)));
        const std::string chain = pick(0, 3) ? "A" : "BB";
        for (int k = 0, rows = pick(4, 8); k < rows; ++k) {
            const std::vector<std::string> values = {
                "ATOM",   atoms[k],          std::to_string(pick(1, 99999)), pick(0, 1) ? "ALA" : "GLY",
                chain,    std::to_string(seq), number(), number(), number(), number(),
                std::string(static_cast<std::size_t>(pick(1, 30)), 'q')};
            std::string line;
            for (std::size_t column = 0; column < values.size(); ++column) {
                line += values[column];
                // At least one blank after each value; the last column may end the line.
                const std::size_t width = std::max(widths[column], values[column].size() + 1);
                if (column + 1 < values.size()) line += std::string(width - values[column].size(), ' ');
            }
            plain += line + "\n";
            line[line.find(' ')] = '\t';
            tabbed += line + "\n";
        }
    }
    const core::Structure expected = read_ok(dir, "tabbed.cif", tabbed);
    EXPECT_EQ(expected.residues.size(), 300u);
    EXPECT_EQ(testing::describe(read_ok(dir, "plain.cif", plain)), testing::describe(expected));
}

TEST(CifReader, CollectsRowsOnlyInsideTheAtomTable) {
    TempDir dir;
    const std::string text = "data_X\nloop_\n_other.a\n_other.b\nN ALA\n" + header(kItems).substr(7) + "  \n" +
                             row("N", "ALA", "1") + "# comment\n\n" + row("CA", "ALA", "1") + row("C", "ALA", "1") +
                             "_pdbx_other.item value\n" + row("O", "ALA", "1");
    EXPECT_EQ(read_error(dir, "stop.cif", text), kEmpty);
    const std::string loop_after = header(kItems) + backbone_rows("ALA", "1") + "loop_\n_x.y\nnot a row\n";
    EXPECT_EQ(read_ok(dir, "loop.cif", loop_after).residues.size(), 1u);
    // With a repeated item the later position wins.
    const std::string repeated =
        header({"label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z", "Cartn_x"}) +
        "N GLY 1 2 3 7\nCA GLY 1 2 3 7\nC GLY 1 2 3 7\nO GLY 1 2 3 7\n";
    EXPECT_EQ(read_ok(dir, "rep.cif", repeated).residues.at(0).n.x, 7.0f);
}

// Coordinates of every sign and shape, the common one included, read to the bits the C library
// gives for the same text.
TEST(CifReader, ReadsCoordinatesOfEveryShapeAsTheCLibrary) {
    TempDir dir;
    for (const char* x : {"1.500", "+1.500", "-1.500", "-0.000", "+0.000", "1234.567", "-9999.999", "0012.345",
                          "12.3456", "-12.34", "1e2", "+.5", "-7.", "98765.432"}) {
        std::string text = header(kItems);
        for (const char* atom : {"N", "CA", "C", "O"}) {
            text += std::string("ATOM 1 ") + atom + " . ALA A 1 ? " + x + " -2.250 +3.125 1 B 1\n";
        }
        const core::Structure structure = read_ok(dir, "x.cif", text);
        ASSERT_EQ(structure.residues.size(), 1u) << x;
        const core::Point3 n = structure.residues[0].n;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(n.x), std::bit_cast<std::uint32_t>(std::strtof(x, nullptr))) << x;
        EXPECT_EQ(n.y, -2.25f);
        EXPECT_EQ(n.z, 3.125f);
    }
}

TEST(CifReader, AppliesTheRowRules) {
    TempDir dir;
    const std::string text = header(kItems) + row("CB", "SER", "1", 9, "B") + backbone_rows("SER", "1") +
                             row("CB", "SER", "1", 8, "A") + row("OG", "SER", "1", 7) + row("H1", "SER", "1", 6) +
                             row("H", "SER", "1", 5) + row("HN", "SER", "1", 4) + row("HA", "SER", "1", 3) +
                             row("OXT", "SER", "1", 2) + row("CG", "SER", "1", 1, "?") + backbone_rows("HOH", "2") +
                             backbone_rows("WAT", "3") + backbone_rows("GLY", ".", 20) + row("N", "ALA", ".", 30) +
                             row("CA", "ALA", "1", 0, ".", "1", "B", "A") + row("C", "ALA", "1A") +
                             row("O", "ALA", "+1");
    const core::Structure s = read_ok(dir, "rules.cif", text);
    ASSERT_EQ(s.residues.size(), 1u);  // every other row merges into residue (B, 1, "")
    const core::Residue& r = s.residues.at(0);
    EXPECT_EQ(r.res_name, "SER");
    EXPECT_EQ(r.n.x, 30.0f);
    EXPECT_EQ(r.o.x, 3.0f);
    ASSERT_TRUE(r.h.has_value());
    EXPECT_EQ(r.h->x, 4.0f);
    std::vector<std::string> names;
    for (const auto& atom : r.atoms) {
        names.push_back(atom.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"CB", "OG"}));
    EXPECT_EQ(r.atoms[0].position.x, 9.0f);

    // Rows of other models and water rows are gone before the choice; a dropped hydrogen chooses.
    const std::string alt = header(kItems) + row("CB", "THR", "4", 50, "A", "2") + row("O", "HOH", "4", 51, "A") +
                            row("HG1", "THR", "4", 52, "B") + backbone_rows("THR", "4", 60) +
                            row("CB", "THR", "4", 70, "A") + row("CB", "THR", "4", 71, "B");
    const core::Structure chosen = read_ok(dir, "alt.cif", alt);
    ASSERT_EQ(chosen.residues.size(), 1u);
    EXPECT_EQ(chosen.residues.at(0).res_name, "THR");
    ASSERT_EQ(chosen.residues.at(0).atoms.size(), 1u);
    EXPECT_EQ(chosen.residues.at(0).atoms[0].position.x, 71.0f);

    const std::string ins = header(kItems) + row("N", "ALA", "2", 0, ".", "1", "B", "A") +
                            row("CA", "ALA", "2", 0, ".", "1", "B", "A") + row("C", "ALA", "2", 0, ".", "1", "B", "A") +
                            row("O", "ALA", "2", 0, ".", "1", "B", "A") + backbone_rows("ALA", "2", 10);
    const core::Structure with_ins = read_ok(dir, "ins.cif", ins);
    ASSERT_EQ(with_ins.residues.size(), 2u);
    EXPECT_EQ(with_ins.residues.at(0).ins_code, "A");
    EXPECT_EQ(with_ins.residues.at(1).ins_code, "");
}

}  // namespace
}  // namespace tarnix::io
