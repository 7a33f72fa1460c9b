#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "io/byte_source.hpp"
#include "io/readers.hpp"
#include "io/topology.hpp"

namespace tarnix::io {
namespace {

// A topology that exercises the reader's rules: alternate locations, the amide hydrogen names,
// OXT, a residue without O, water, a residue met again after another.
std::vector<AtomRecord> awkward_topology() {
    std::vector<AtomRecord> atoms;
    const auto add = [&](const char* name, const char* residue, const char* chain, int seq, const char* alt = "") {
        AtomRecord& atom = atoms.emplace_back();
        atom.atom_name = name;
        atom.res_name = residue;
        atom.chain_id = chain;
        atom.seq_id = seq;
        atom.alt_loc = alt;
    };
    for (const char* name : {"N", "CA", "C", "O", "CB", "HN", "H"}) add(name, "ALA", "A", 1);
    for (const char* name : {"N", "CA", "C"}) add(name, "GLY", "A", 2);  // no O: left out
    add("N", "SER", "A", 3);
    add("CA", "SER", "A", 3, "A");
    add("CA", "SER", "A", 3, "B");
    add("OG", "SER", "A", 3, "B");
    add("OG", "SER", "A", 3, "A");
    add("C", "SER", "A", 3);
    add("O", "HOH", "A", 100);
    add("OXT", "SER", "A", 3);
    add("O", "SER", "A", 3);
    add("H1", "SER", "A", 3);
    add("CB", "ALA", "A", 1);  // the first residue again
    for (const char* name : {"N", "CA", "C", "O"}) add(name, "PRO", "B", 1);
    return atoms;
}

std::string pdb_line(const AtomRecord& atom, const float* xyz) {
    const std::string atom_name(atom.atom_name);
    const std::string res_name(atom.res_name);
    char name[8];
    std::snprintf(name, sizeof name, atom_name.size() < 4 ? " %-3s" : "%-4s", atom_name.c_str());
    char line[128];
    std::snprintf(line, sizeof line, "ATOM  %5d %-4s%c%-3s %c%4d    %8.3f%8.3f%8.3f  1.00 20.00\n", 1, name,
                  atom.alt_loc.empty() ? ' ' : atom.alt_loc[0], res_name.c_str(), atom.chain_id[0], atom.seq_id, xyz[0],
                  xyz[1], xyz[2]);
    return line;
}

void expect_same_point(const core::Point3& a, const core::Point3& b) {
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.z, b.z);
}

TEST(FrameLayout, GivesWhatThePdbReaderReadsFromTheSameAtoms) {
    const auto atoms = awkward_topology();
    std::vector<float> positions;
    std::string text;
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        const float xyz[3] = {1.5f * static_cast<float>(i), 0.25f * static_cast<float>(i) - 3.0f, 7.125f};
        positions.insert(positions.end(), xyz, xyz + 3);
        text += pdb_line(atoms[i], xyz);
    }
    // Not kept, by key: the second amide hydrogen, the residue without O, the other alternate
    // location, water, and the O that comes after OXT. As written, the serine and alanine met again
    // after water and serine are residues of their own, without a full backbone, and so is the
    // serine before the water.
    const struct {
        ResidueRules rules;
        std::vector<std::uint32_t> used;
        std::size_t residues;
    } cases[] = {
        {ResidueRules::merged_keys, {0, 1, 2, 3, 4, 5, 10, 11, 14, 15, 17, 19, 20, 21, 22, 23, 24}, 3},
        {ResidueRules::as_written, {0, 1, 2, 3, 4, 5, 21, 22, 23, 24}, 2},
    };
    for (const auto& c : cases) {
        auto built = frame_layout(atoms, c.rules);
        ASSERT_TRUE(std::holds_alternative<FrameLayout>(built));
        const FrameLayout& layout = std::get<FrameLayout>(built);
        EXPECT_EQ(layout.atoms_per_frame, layout.used.size());
        EXPECT_EQ(layout.used, c.used);
        std::vector<float> used_positions;
        for (const std::uint32_t atom : layout.used) {
            used_positions.insert(used_positions.end(), positions.begin() + atom * 3, positions.begin() + atom * 3 + 3);
        }
        const core::Structure frame = frame_structure(layout, used_positions.data());

        MemorySource source(text);
        auto read = parse_pdb(source, c.rules);
        ASSERT_TRUE(std::holds_alternative<core::Structure>(read));
        const core::Structure& expected = std::get<core::Structure>(read);
        ASSERT_EQ(frame.residues.size(), expected.residues.size());
        ASSERT_EQ(frame.residues.size(), c.residues);
        for (std::size_t i = 0; i < frame.residues.size(); ++i) {
            const core::Residue& got = frame.residues[i];
            const core::Residue& want = expected.residues[i];
            EXPECT_EQ(got.res_name, want.res_name);
            EXPECT_EQ(got.chain_id, want.chain_id);
            EXPECT_EQ(got.seq_id, want.seq_id);
            EXPECT_EQ(got.amino_acid, want.amino_acid);
            expect_same_point(got.n, want.n);
            expect_same_point(got.ca, want.ca);
            expect_same_point(got.c, want.c);
            expect_same_point(got.o, want.o);
            ASSERT_EQ(got.h.has_value(), want.h.has_value());
            if (got.h) expect_same_point(*got.h, *want.h);
            ASSERT_EQ(got.atoms.size(), want.atoms.size());
            for (std::size_t k = 0; k < got.atoms.size(); ++k) {
                EXPECT_EQ(got.atoms[k].name, want.atoms[k].name);
                expect_same_point(got.atoms[k].position, want.atoms[k].position);
            }
        }
        EXPECT_EQ(frame.chains.size(), 2u);
    }
}

TEST(FrameLayout, ATopologyWithoutBackboneHoldsNoProtein) {
    std::vector<AtomRecord> water(1);
    water[0].atom_name = "O";
    water[0].res_name = "HOH";
    water[0].chain_id = "A";
    auto built = frame_layout(water);
    ASSERT_TRUE(std::holds_alternative<InputError>(built));
    EXPECT_EQ(std::get<InputError>(built).kind(), InputError::Kind::NoProtein);
}

}  // namespace
}  // namespace tarnix::io
