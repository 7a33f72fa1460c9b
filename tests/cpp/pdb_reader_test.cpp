#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "io/byte_source.hpp"
#include "io/formats.hpp"
#include "io/readers.hpp"
#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

using testing::describe;
using testing::read_error;
using testing::read_ok;
using testing::TempDir;

struct AtomSpec {
    const char* name;
    const char* res_name = "ALA";
    char chain = 'A';
    int seq = 1;
    float x = 0.0f;
    char alt = ' ';
    char ins = ' ';
    const char* record = "ATOM  ";
};

std::string atom_line(const AtomSpec& a) {
    char name[8];
    std::snprintf(name, sizeof name, std::string_view(a.name).size() < 4 ? " %-3s" : "%-4s", a.name);
    char line[128];
    std::snprintf(line, sizeof line, "%-6s%5d %-4s%c%-3s %c%4d%c   %8.3f%8.3f%8.3f  1.00 20.00           C\n", a.record,
                  1, name, a.alt, a.res_name, a.chain, a.seq, a.ins, a.x, a.x + 1.0f, a.x + 2.0f);
    return line;
}

// N, CA, C and O of one residue, x coordinates starting at x.
std::string backbone(const char* res_name, char chain, int seq, float x = 0.0f, char ins = ' ') {
    std::string text;
    for (const char* name : {"N", "CA", "C", "O"}) {
        text += atom_line({name, res_name, chain, seq, x, ' ', ins});
        x += 1.0f;
    }
    return text;
}

const char* const kEmpty = "Empty file or no valid records";

TEST(PdbReader, ReadsBackboneResiduesInOrderOfFirstAppearance) {
    TempDir dir;
    const std::string text = "HEADER    TEST                                    01-JAN-00   9XYZ\n" +
                             backbone("ALA", 'A', 1) + atom_line({"CB", "ALA", 'A', 1, 9}) +
                             backbone("MSE", 'A', 2, 10) + atom_line({"O", "HOH", 'A', 3}) +
                             backbone("GLY", 'B', 1, 20) + backbone("unk", ' ', 5, 30) + "TER\n" +
                             atom_line({"CA", "ALA", 'A', 1, 40}) + "END\n";
    const core::Structure s = read_ok(dir, "one.pdb", text);
    EXPECT_TRUE(s.id.empty());
    ASSERT_EQ(s.residues.size(), 4u);
    EXPECT_EQ(describe(s),
              "[A] 1[] ALA A #0 (0.000 1.000 2.000) (40.000 41.000 42.000) (2.000 3.000 4.000) (3.000 4.000 5.000)"
              " CB (9.000 10.000 11.000)\n"
              "[A] 2[] MSE M #1 (10.000 11.000 12.000) (11.000 12.000 13.000) (12.000 13.000 14.000) (13.000 "
              "14.000 15.000)\n"
              "[B] 1[] GLY G #2 (20.000 21.000 22.000) (21.000 22.000 23.000) (22.000 23.000 24.000) (23.000 "
              "24.000 25.000)\n"
              "[ ] 5[] unk X #3 (30.000 31.000 32.000) (31.000 32.000 33.000) (32.000 33.000 34.000) (33.000 "
              "34.000 35.000)\n"
              "chain [A] 0..2\nchain [B] 2..3\nchain [ ] 3..4\n");
}

TEST(PdbReader, RecognisesOnlyFullRecordNamesOnLongEnoughLines) {
    TempDir dir;
    const std::string o = atom_line({"O", "ALA", 'A', 1, 3});
    const std::string residue = backbone("ALA", 'A', 1).substr(0, 3 * o.size());
    const struct {
        std::string o_line;
        bool kept;
    } cases[] = {
        {o.substr(0, 54) + "\n", true},
        {o.substr(0, 53) + "\n", false},
        {"ATOM1" + o.substr(5), false},
        {"atom  " + o.substr(6), false},
        {"HETATM" + o.substr(6), true},
        {o.substr(0, 22) + "    " + o.substr(26), false},  // blank sequence number
        {o.substr(0, 30) + "     1.x" + o.substr(38), false},
        {o.substr(0, 30) + "  nan   " + o.substr(38), true},
    };
    for (const auto& c : cases) {
        const auto result = read_structure_file(dir.write("case.pdb", residue + c.o_line));
        EXPECT_EQ(std::holds_alternative<core::Structure>(result), c.kept) << c.o_line;
    }
    const core::Structure s = read_ok(dir, "nan.pdb", residue + cases[7].o_line);
    EXPECT_TRUE(std::isnan(s.residues.at(0).o.x));
}

TEST(PdbReader, KeepsTheFirstAlternateLocationMetInEachResidue) {
    TempDir dir;
    const std::string a_first = backbone("SER", 'A', 1) + atom_line({"CB", "SER", 'A', 1, 10, 'A'}) +
                                atom_line({"CB", "SER", 'A', 1, 20, 'B'}) + atom_line({"OG", "SER", 'A', 1, 11, 'A'}) +
                                atom_line({"OG", "SER", 'A', 1, 21, 'B'});
    const std::string b_first = atom_line({"CB", "SER", 'A', 2, 30, 'B'}) + atom_line({"CB", "SER", 'A', 2, 40, 'A'}) +
                                backbone("SER", 'A', 2, 50) + atom_line({"N", "SER", 'A', 2, 60, 'A'}) +
                                atom_line({"OG", "SER", 'A', 2, 31, 'B'});
    // A rejected line does not choose, a dropped hydrogen does.
    const std::string hydrogen_first = atom_line({"CB", "SER", 'A', 3, 70, 'A'}).substr(0, 53) + "\n" +
                                       atom_line({"HB2", "SER", 'A', 3, 71, 'B'}) + backbone("SER", 'A', 3, 80) +
                                       atom_line({"CB", "SER", 'A', 3, 90, 'A'}) +
                                       atom_line({"CB", "SER", 'A', 3, 91, 'B'});
    const core::Structure s = read_ok(dir, "alt.pdb", a_first + b_first + hydrogen_first);
    ASSERT_EQ(s.residues.size(), 3u);
    const auto& first = s.residues.at(0).atoms;
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].position.x, 10.0f);
    EXPECT_EQ(first[1].position.x, 11.0f);
    const auto& second = s.residues.at(1);
    ASSERT_EQ(second.atoms.size(), 2u);
    EXPECT_EQ(second.atoms[0].position.x, 30.0f);
    EXPECT_EQ(second.atoms[1].position.x, 31.0f);
    EXPECT_EQ(second.n.x, 50.0f);  // the alternate-A N is discarded
    const auto& third = s.residues.at(2).atoms;
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].position.x, 91.0f);
}

TEST(PdbReader, PlacesAtomsByName) {
    TempDir dir;
    const std::string text = atom_line({"OXT", "ALA", 'A', 1, 5}) + backbone("ALA", 'A', 1) +
                             atom_line({"N", "ALA", 'A', 1, 7}) + atom_line({"O", "ALA", 'A', 1, 8}) +
                             atom_line({"HN", "ALA", 'A', 1, 9}) + atom_line({"H", "ALA", 'A', 1, 10}) +
                             atom_line({"HB1", "ALA", 'A', 1, 11}) + atom_line({"H1", "ALA", 'A', 1, 12}) +
                             atom_line({"OXT", "ALA", 'A', 1, 13}) + atom_line({"CB", "ALA", 'A', 1, 14}) +
                             atom_line({"", "ALA", 'A', 1, 15}) + backbone("GLY", 'A', 2, 20) +
                             atom_line({"H1", "GLY", 'A', 2, 16}) + atom_line({"H", "GLY", 'A', 2, 17});
    const core::Structure s = read_ok(dir, "names.pdb", text);
    ASSERT_EQ(s.residues.size(), 2u);
    const core::Residue& r = s.residues.at(0);
    EXPECT_EQ(r.n.x, 7.0f);
    EXPECT_EQ(r.o.x, 5.0f);
    ASSERT_TRUE(r.h.has_value());
    EXPECT_EQ(r.h->x, 9.0f);
    ASSERT_EQ(r.atoms.size(), 2u);
    EXPECT_EQ(r.atoms[0].name, "CB");
    EXPECT_EQ(r.atoms[1].name, "");
    EXPECT_EQ(s.residues.at(1).h->x, 16.0f);
}

TEST(PdbReader, MergesRepeatedKeysIntoTheFirstResidue) {
    TempDir dir;
    const std::string text = atom_line({"N", "ALA", 'A', 1}) + atom_line({"CA", "ALA", 'A', 1, 1}) +
                             backbone("GLY", 'A', 2, 10) + atom_line({"C", "TRP", 'A', 1, 2}) +
                             atom_line({"O", "TRP", 'A', 1, 3}) + backbone("SER", 'A', 1, 30, 'B');
    const core::Structure s = read_ok(dir, "merge.pdb", text);
    ASSERT_EQ(s.residues.size(), 3u);
    EXPECT_EQ(s.residues.at(0).res_name, "ALA");
    EXPECT_EQ(s.residues.at(0).c.x, 2.0f);
    EXPECT_EQ(s.residues.at(1).res_name, "GLY");
    EXPECT_EQ(s.residues.at(2).ins_code, "B");
}

TEST(PdbReader, ReadsOnlyUpToTheFirstEndRecord) {
    TempDir dir;
    const std::string model1 = "MODEL        1\n" + backbone("ALA", 'A', 1) + "ENDMDL\n";
    const std::string model2 = "MODEL        2\n" + backbone("GLY", 'A', 2) + "\xFF\xFE\nENDMDL\nEND\n";
    const core::Structure s = read_ok(dir, "models.pdb", model1 + model2);
    ASSERT_EQ(s.residues.size(), 1u);
    EXPECT_EQ(s.residues.at(0).res_name, "ALA");
    EXPECT_EQ(read_error(dir, "bad.pdb", "REMARK \xC0\xAF\n" + model1), "IO error: stream did not contain valid UTF-8");
    EXPECT_EQ(read_error(dir, "endfirst.pdb", "END\n" + model1), kEmpty);
    EXPECT_EQ(read_error(dir, "empty.pdb", ""), kEmpty);
    EXPECT_EQ(read_error(dir, "header.pdb", "HEADER    PROTEIN\nREMARK   1\n"), kEmpty);
    EXPECT_EQ(read_error(dir, "water.pdb", atom_line({"O", "HOH", 'A', 1, 0, ' ', ' ', "HETATM"})), kEmpty);
}

// Both read "Empty file or no valid records"; a run over many files counts them apart.
TEST(PdbReader, TellsAFileWithoutAtomsFromOneWithoutAProteinResidue) {
    const auto kind = [](const std::string& text) {
        MemorySource source(text);
        return std::get<InputError>(parse_pdb(source)).kind();
    };
    EXPECT_EQ(kind(""), InputError::Kind::Empty);
    EXPECT_EQ(kind("HEADER    PROTEIN\nREMARK   1\n"), InputError::Kind::Empty);
    EXPECT_EQ(kind(atom_line({"O", "HOH", 'A', 1, 0, ' ', ' ', "HETATM"})), InputError::Kind::NoProtein);
    EXPECT_EQ(kind(atom_line({"CA"}) + atom_line({"CA", "GLY", 'A', 2})), InputError::Kind::NoProtein);
}

TEST(PdbReader, CrLfReadsLikeLf) {
    TempDir dir;
    std::string lf =
        "HEADER    X\n" + backbone("ALA", 'A', 1) + atom_line({"CB", "ALA", 'A', 1, 9}) + backbone("VAL", 'B', 7, 20);
    std::string crlf;
    for (const char c : lf) {
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    }
    EXPECT_EQ(describe(read_ok(dir, "crlf.pdb", crlf)), describe(read_ok(dir, "lf.pdb", lf)));
}

// ASCII lines take a quicker path than lines holding other characters; a real file whose atom
// lines carry a non-ASCII tail beyond the read columns must read the same, to the bit.
TEST(PdbReader, AsciiAndNonAsciiLinesReadAlike) {
    TempDir dir;
    for (const char* file : {"1ubq.pdb", "4hhb.pdb", "1ejg.pdb"}) {
        std::ifstream in(testing::test_data(file), std::ios::binary);
        const std::string plain((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string marked;
        for (std::size_t start = 0; start < plain.size();) {
            const std::size_t end = std::min(plain.find('\n', start), plain.size());
            const std::string_view line(plain.data() + start, end - start);
            marked.append(line);
            if (line.starts_with("ATOM") || line.starts_with("HETATM")) marked += " \u00E9";
            marked += '\n';
            start = end + 1;
        }
        const core::Structure expected = read_ok(dir, "plain.pdb", plain);
        const core::Structure read = read_ok(dir, "marked.pdb", marked);
        ASSERT_EQ(describe(read), describe(expected)) << file;
        const auto bits = [](const core::Structure& s) {
            std::vector<std::uint32_t> all;
            const auto add = [&all](const core::Point3& p) {
                for (const float v : {p.x, p.y, p.z}) all.push_back(std::bit_cast<std::uint32_t>(v));
            };
            for (const core::Residue& r : s.residues) {
                for (const core::Point3& p : {r.n, r.ca, r.c, r.o, r.h.value_or(core::Point3{})}) add(p);
                for (const core::Atom& atom : r.atoms) add(atom.position);
            }
            return all;
        };
        EXPECT_EQ(bits(read), bits(expected)) << file;
    }
}

// The same on made-up lines whose text and coordinate columns take every shape the quicker path
// must either read alike or leave to the other: white space of every kind around and inside
// names and numbers, signs, letters and nothing in the sequence number, odd coordinates.
TEST(PdbReader, AsciiAndNonAsciiLinesReadAlikeWhateverTheColumnsHold) {
    std::mt19937 random(5);
    const auto pick = [&random](const std::vector<std::string>& choices) {
        return choices[std::uniform_int_distribution<std::size_t>(0, choices.size() - 1)(random)];
    };
    const auto seq = [&] {
        char text[16];
        std::snprintf(text, sizeof text, "%4d", std::uniform_int_distribution<int>(1, 40)(random));
        if (random() % 4 != 0) return std::string(text);
        return pick({"  -3", "+  5", "1 2 ", "  1a", "    ", "\t 12", "12\t ", "0012", "   \v7", "-   "});
    };
    const auto coordinate = [&] {
        char text[16];
        std::snprintf(text, sizeof text, "%8.3f", std::uniform_real_distribution<float>(-999.0f, 9999.0f)(random));
        std::string field = std::string(text).substr(0, 8);
        if (random() % 8 == 0) field[random() % 8] = pick({" ", "-", ".", "1", "e", "\t"})[0];
        return field;
    };
    std::string plain;
    std::string marked;
    for (int i = 0; i < 20000; ++i) {
        std::string line = "ATOM  ";
        line += std::to_string(10000 + i);
        line += ' ';
        line += random() % 4 != 0 ? pick({" N  ", " CA ", " C  ", " O  "})
                                  : pick({" CB ", "\tCA ", "    ", "C A ", " H  ", "OXT ", " HN\t", "CA  "});
        line += pick({" ", " ", " ", "A", "B"});
        line += random() % 8 != 0 ? pick({"ALA", "GLY"}) : pick({" LY", "A\tA", "   ", "GL "});
        line += ' ';
        line += pick({"A", "B", " "});
        line += seq();
        line += pick({" ", " ", " ", "A", "\t"});
        line += "   ";
        line += coordinate() + coordinate() + coordinate();
        plain += line + "  1.00 20.00\n";
        marked += line + "  1.00 20.00 \u00E9\n";
    }
    const auto read = [](const std::string& text) {
        MemorySource source(text);
        const ReadResult result = parse(FileFormat::pdb, source);
        if (const auto* error = std::get_if<InputError>(&result)) return "error: " + error->message();
        return describe(std::get<core::Structure>(result));
    };
    const std::string expected = read(marked);
    EXPECT_GT(std::count(expected.begin(), expected.end(), '\n'), 200);
    EXPECT_EQ(read(plain), expected);
}

TEST(PdbReader, SkipsLinesWhoseFieldBoundariesSplitACharacter) {
    TempDir dir;
    const std::string n_line = atom_line({"N", "ALA", 'A', 1});
    // "\u00E9" is two bytes: inside the atom name field it is fine, across column 16/17 it is not.
    const std::string inside = n_line.substr(0, 13) + "N\u00E9" + n_line.substr(16);
    const std::string across = n_line.substr(0, 15) + "\u00E9" + n_line.substr(17);
    const std::string rest = backbone("ALA", 'A', 1).substr(n_line.size());
    const core::Structure s = read_ok(dir, "inside.pdb", atom_line({"N", "ALA", 'A', 1}) + inside + rest);
    ASSERT_EQ(s.residues.at(0).atoms.size(), 1u);
    EXPECT_EQ(s.residues.at(0).atoms[0].name, "N\u00E9");
    EXPECT_EQ(read_error(dir, "across.pdb", across + rest), kEmpty);
}

}  // namespace
}  // namespace tarnix::io
