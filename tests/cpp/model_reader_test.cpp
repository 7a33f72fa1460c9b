// Every-model reads against the first-model read: model 1 of the one is the other, whatever the
// layout of MODEL, ENDMDL and model numbers.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/read_and_assign.hpp"
#include "io/byte_source.hpp"
#include "io/formats.hpp"
#include "io/readers.hpp"
#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

// N, CA, C and O of residue `seq` of chain A, placed along x by the sequence number.
std::string pdb_residue(int seq) {
    std::string text;
    float x = static_cast<float>(seq) * 3.8f;
    for (const char* name : {" N  ", " CA ", " C  ", " O  "}) {
        char line[96];
        std::snprintf(line, sizeof line, "ATOM      1 %s ALA A%4d    %8.3f%8.3f%8.3f  1.00 20.00           C\n", name,
                      seq, x, 1.0f, 2.0f);
        text += line;
        x += 1.0f;
    }
    return text;
}

std::string cif_residue(int seq, const std::string& model) {
    std::string text;
    float x = static_cast<float>(seq) * 3.8f;
    for (const char* name : {"N", "CA", "C", "O"}) {
        text += "ATOM " + std::string(name) + " ALA A " + std::to_string(seq) + " " + std::to_string(x) + " 1.0 2.0 " +
                model + "\n";
        x += 1.0f;
    }
    return text;
}

const std::string kCifHeader =
    "data_T\nloop_\n_atom_site.group_PDB\n_atom_site.label_atom_id\n_atom_site.label_comp_id\n"
    "_atom_site.label_asym_id\n_atom_site.label_seq_id\n_atom_site.Cartn_x\n_atom_site.Cartn_y\n"
    "_atom_site.Cartn_z\n_atom_site.pdbx_PDB_model_num\n";

// A model as the test sees it: its number and its residue count (0 for a failure).
using Found = std::vector<std::pair<std::int32_t, std::size_t>>;

Found every_model(FileFormat format, const std::string& text, std::vector<ReadResult>* models = nullptr) {
    MemorySource source(text);
    Found found;
    const auto failure = parse_models(format, source, [&](std::int32_t number, ReadResult model) {
        const auto* structure = std::get_if<core::Structure>(&model);
        found.emplace_back(number, structure ? structure->residues.size() : 0);
        if (models) models->push_back(std::move(model));
    });
    EXPECT_FALSE(failure) << failure->message();
    return found;
}

struct Layout {
    const char* name;
    std::string text;
    Found models;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class PdbModelLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(PdbModelLayouts, GiveTheirModelsAndTheFirstIsTheFirstModelRead) {
    const Layout& layout = GetParam();
    EXPECT_EQ(every_model(FileFormat::pdb, layout.text), layout.models);
    const auto* data = reinterpret_cast<const std::uint8_t*>(layout.text.data());
    EXPECT_TRUE(fuzz::read_every_model_and_assign(data, layout.text.size(), FileFormat::pdb));
    MemorySource source(layout.text);
    std::int32_t number = 0;
    parse_pdb(source, number);
    EXPECT_EQ(number, layout.models.at(0).first);
}

const std::string r1 = pdb_residue(1), r2 = pdb_residue(2), r3 = pdb_residue(3);

INSTANTIATE_TEST_SUITE_P(
    Layouts, PdbModelLayouts,
    ::testing::Values(
        Layout{"endmdl_without_model", r1 + r2 + "ENDMDL\n" + r3 + "ENDMDL\nEND\n", {{1, 2}, {2, 1}}},
        Layout{"model_without_endmdl", "MODEL 1\n" + r1 + "MODEL 2\n" + r2 + "ENDMDL\n", {{1, 2}}},
        Layout{"out_of_order", "MODEL 3\n" + r1 + "ENDMDL\nMODEL 1\n" + r1 + r2 + "ENDMDL\nMODEL 2\nENDMDL\n",
               {{3, 1}, {1, 2}, {2, 0}}},
        Layout{"atoms_before_model", r1 + "MODEL 5\n" + r2 + "ENDMDL\nMODEL 6\n" + r3 + "ENDMDL\n", {{1, 2}, {6, 1}}},
        Layout{"records_after_the_last_model", "MODEL 4\n" + r1 + "ENDMDL\nCONECT    1    2\nMASTER\nEND\n",
               {{4, 1}}},
        Layout{"end_ends_the_file", "MODEL 1\n" + r1 + "ENDMDL\nEND\nMODEL 2\n" + r2 + "ENDMDL\n", {{1, 1}}},
        Layout{"serials_that_do_not_parse", "MODEL x\n" + r1 + "ENDMDL\nMODEL\n" + r2 + "ENDMDL\n", {{1, 1}, {2, 1}}},
        Layout{"nothing", "", {{1, 0}}}, Layout{"endmdl_alone", "ENDMDL\nENDMDL\n", {{1, 0}}}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

ReadResult first_model(FileFormat format, const std::string& text) {
    MemorySource source(text);
    return parse(format, source);
}

TEST(CifModels, ANumberThatComesBackAddsToItsModel) {
    // Model 1 with model 2 between its halves, as 1, 2, 3, 2, 1.
    const std::string text = kCifHeader + cif_residue(1, "1") + cif_residue(2, "1") + cif_residue(1, "2") +
                             cif_residue(7, "3") + cif_residue(2, "2") + cif_residue(3, "1");
    std::vector<ReadResult> models;
    EXPECT_EQ(every_model(FileFormat::mmcif, text, &models), (Found{{1, 3}, {2, 2}, {3, 1}}));
    EXPECT_TRUE(fuzz::same_result(models.at(0), first_model(FileFormat::mmcif, text)));
    // Model 2 is the file cut down to its rows.
    const ReadResult alone = first_model(FileFormat::mmcif, kCifHeader + cif_residue(1, "1") + cif_residue(2, "1"));
    EXPECT_TRUE(fuzz::same_result(models.at(1), alone));
}

TEST(CifModels, ComeInOrderOfFirstAppearanceAndWaterAloneIsEmpty) {
    const std::string water = "HETATM O HOH A 9 1.0 1.0 1.0 5\n";
    const std::string text = kCifHeader + cif_residue(1, "2") + water + cif_residue(1, "1") + cif_residue(2, "2");
    EXPECT_EQ(every_model(FileFormat::mmcif, text), (Found{{2, 2}, {5, 0}, {1, 1}}));
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
    EXPECT_TRUE(fuzz::read_every_model_and_assign(data, text.size(), FileFormat::mmcif));
}

TEST(CifModels, ManyOneRowModelsEachFailAlone) {
    std::string text = kCifHeader;
    for (int model = 1; model <= 3000; ++model) {
        text += "ATOM CA ALA A 1 1.0 2.0 3.0 " + std::to_string(model % 1500 + 1) + "\n";
    }
    const Found found = every_model(FileFormat::mmcif, text);
    ASSERT_EQ(found.size(), 1500u);
    EXPECT_EQ(found.front(), (std::pair<std::int32_t, std::size_t>{2, 0}));
    EXPECT_EQ(found.back(), (std::pair<std::int32_t, std::size_t>{1, 0}));
}

std::vector<std::string> data_lines(const char* file) {
    std::ifstream in(testing::test_data(file));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
    return lines;
}

bool models_agree(FileFormat format, const std::string& text) {
    return fuzz::read_every_model_and_assign(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), format);
}

// Real ensembles with model records inserted, dropped and repeated at random places.
TEST(ModelLayouts, MutatedPdbEnsemblesAgreeOnTheFirstModel) {
    std::vector<std::string> base = data_lines("1d3z.pdb");
    ASSERT_GT(base.size(), 1000u);
    const std::vector<std::string> records = {"MODEL        7\n", "MODEL x\n", "ENDMDL\n", "END\n", "TER\n", "MODEL\n"};
    std::mt19937 random(11);
    for (int trial = 0; trial < 60; ++trial) {
        std::vector<std::string> lines = base;
        const int edits = 1 + static_cast<int>(random() % 6);
        for (int edit = 0; edit < edits; ++edit) {
            const auto at = lines.begin() + static_cast<std::ptrdiff_t>(random() % lines.size());
            switch (random() % 3) {
                case 0: lines.insert(at, records[random() % records.size()]); break;
                case 1: lines.erase(at); break;
                default: lines.insert(at, std::string(lines[random() % lines.size()])); break;
            }
        }
        std::string text;
        for (const std::string& line : lines) text += line;
        EXPECT_TRUE(models_agree(FileFormat::pdb, text)) << "trial " << trial;
    }
}

// An atom table cut into runs of random model numbers, some coming back, some not numbers.
TEST(ModelLayouts, AtomTablesInRunsOfModelNumbersAgreeOnModelOne) {
    const std::vector<std::string> lines = data_lines("1ubq.cif");
    const std::vector<std::string> numbers = {"1", "2", "3", "?", ".", "x", "-1", "01"};
    std::mt19937 random(5);
    for (int trial = 0; trial < 60; ++trial) {
        std::string text;
        std::string number = "1";
        for (const std::string& line : lines) {
            if (!line.starts_with("ATOM") && !line.starts_with("HETATM")) {
                text += line;
                continue;
            }
            if (random() % 40 == 0) number = numbers[random() % numbers.size()];
            const std::string row = line.substr(0, line.find_last_not_of(" \n") + 1);  // the number is the last item
            text += row.substr(0, row.find_last_of(' ') + 1) + number + "\n";
        }
        EXPECT_TRUE(models_agree(FileFormat::mmcif, text)) << "trial " << trial;
    }
}

}  // namespace
}  // namespace tarnix::io
