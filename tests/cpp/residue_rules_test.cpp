// Residues and chains as a file gives them (the companion's reading) beside the tarnix module's
// merging of equal keys, and the force-field names of the standard residues.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "engine/relative_accessibility.hpp"
#include "io/byte_source.hpp"
#include "io/formats.hpp"
#include "io/readers.hpp"
#include "io/residue_names.hpp"

namespace tarnix::io {
namespace {

std::string atom_line(const char* name, const char* res_name, char chain, int seq, float x, char ins = ' ') {
    char line[128];
    std::snprintf(line, sizeof line, "ATOM  %5d  %-3s %-3s %c%4d%c   %8.3f%8.3f%8.3f  1.00 20.00           C\n", 1,
                  name, res_name, chain, seq, ins, x, x + 1.0f, x + 2.0f);
    return line;
}

// N, CA, C and O of residue seq, placed along x by its place in the file.
std::string residue(char chain, int seq, int place, const char* res_name = "ALA", char ins = ' ') {
    std::string text;
    const auto x = static_cast<float>(place) * 4.0f;
    for (const char* name : {"N", "CA", "C", "O"}) text += atom_line(name, res_name, chain, seq, x, ins);
    return text;
}

// Residues numbered first..last, the k-th placed at place + k.
std::string run(char chain, int first, int last, int& place) {
    std::string text;
    for (int seq = first; seq <= last; ++seq) text += residue(chain, seq, place++);
    return text;
}

// "chain:seq+insertion" of every residue, and the chains as "[id]start..end".
std::string layout(const core::Structure& s) {
    std::string text;
    for (const core::Residue& r : s.residues) text += r.chain_id + ":" + std::to_string(r.seq_id) + r.ins_code + " ";
    for (const core::Chain& c : s.chains) {
        text += "[" + c.chain_id + "]" + std::to_string(c.start_index) + ".." + std::to_string(c.end_index);
    }
    return text;
}

std::string read_first(std::string_view text, ResidueRules rules, FileFormat format = FileFormat::pdb) {
    MemorySource source(text);
    auto result = parse(format, source, ReadOptions{nullptr, rules});
    if (auto* error = std::get_if<InputError>(&result)) return "error: " + error->message();
    return layout(std::get<core::Structure>(result));
}

// Every model's layout, one per line.
std::string read_every(std::string_view text, ResidueRules rules, FileFormat format = FileFormat::pdb) {
    MemorySource source(text);
    std::string out;
    const ModelVisitor visit = [&](std::int32_t number, ReadResult model) {
        out += std::to_string(number) + ": ";
        out += std::holds_alternative<core::Structure>(model) ? layout(std::get<core::Structure>(model)) : "error";
        out += "\n";
    };
    if (auto error = parse_models(format, source, visit, ReadOptions{nullptr, rules})) return error->message();
    return out;
}

struct GroupingCase {
    const char* what;
    std::string text;
    const char* as_written;
    const char* merged;
};

std::vector<GroupingCase> grouping_cases() {
    std::vector<GroupingCase> cases;
    int p = 0;
    cases.push_back({"blank ids, numbering restarts after TER", run(' ', 1, 2, p) + "TER\n" + run(' ', 1, 3, p),
                     "1:1 1:2 2:1 2:2 2:3 [1]0..2[2]2..5", " :1  :2  :3 [ ]0..3"});
    p = 0;
    cases.push_back({"blank ids, numbering restarts without TER", run(' ', 1, 2, p) + run(' ', 1, 3, p),
                     "1:1 1:2 2:1 2:2 2:3 [1]0..2[2]2..5", " :1  :2  :3 [ ]0..3"});
    p = 0;
    cases.push_back({"blank ids, TER, numbering goes on", run(' ', 1, 2, p) + "TER\n" + run(' ', 3, 4, p),
                     "1:1 1:2 2:3 2:4 [1]0..2[2]2..4", " :1  :2  :3  :4 [ ]0..4"});
    p = 0;
    cases.push_back({"one chain without id keeps its blank", run(' ', 1, 3, p) + "TER\n",
                     " :1  :2  :3 [ ]0..3", " :1  :2  :3 [ ]0..3"});
    p = 0;
    // A residue without backbone between two chains neither joins nor splits them.
    cases.push_back({"water between chains numbered on", run(' ', 1, 2, p) + atom_line("O", "HOH", ' ', 7, 99.0f) +
                                                             run(' ', 1, 2, p),
                     "1:1 1:2 2:1 2:2 [1]0..2[2]2..4", " :1  :2 [ ]0..2"});
    p = 0;
    cases.push_back({"one-residue chains repeating a number", run(' ', 5, 5, p) + "TER\n" + run(' ', 5, 5, p),
                     "1:5 2:5 [1]0..1[2]1..2", " :5 [ ]0..1"});
    p = 0;
    cases.push_back({"the residue before again, water between", run(' ', 4, 5, p) +
                                                                    atom_line("O", "HOH", ' ', 9, 99.0f) +
                                                                    run(' ', 5, 6, p),
                     "1:4 1:5 2:5 2:6 [1]0..2[2]2..4", " :4  :5  :6 [ ]0..3"});
    p = 0;
    // Chains with ids count for the ordinal; a TER between residues of a chain with an id splits
    // nothing.
    cases.push_back({"ids and blank ids mixed", run('A', 1, 2, p) + "TER\n" + run(' ', 1, 2, p) + run(' ', 1, 1, p) +
                                                    run('B', 3, 3, p) + "TER\n" + run('B', 4, 4, p),
                     "A:1 A:2 2:1 2:2 3:1 B:3 B:4 [A]0..2[2]2..4[3]4..5[B]5..7",
                     "A:1 A:2  :1  :2 B:3 B:4 [A]0..2[ ]2..4[B]4..6"});
    p = 0;
    // With ids, a key met again is another residue; numbering that goes down is no new chain.
    cases.push_back({"a key met again under an id", run('A', 1, 2, p) + run('A', 1, 1, p),
                     "A:1 A:2 A:1 [A]0..3", "A:1 A:2 [A]0..2"});
    p = 0;
    // Insertion codes in either order are no restart.
    cases.push_back({"insertion codes", residue(' ', 9, 0) + residue(' ', 10, 1, "ALA", 'B') +
                                            residue(' ', 10, 2, "ALA", 'A') + residue(' ', 10, 3) + residue(' ', 11, 4),
                     " :9  :10B  :10A  :10  :11 [ ]0..5", " :9  :10B  :10A  :10  :11 [ ]0..5"});
    return cases;
}

TEST(ResidueRules, GroupResiduesAndChainsAsTheFileGivesThemOrByKey) {
    for (const GroupingCase& c : grouping_cases()) {
        EXPECT_EQ(read_first(c.text, ResidueRules::as_written), c.as_written) << c.what;
        EXPECT_EQ(read_first(c.text, ResidueRules::merged_keys), c.merged) << c.what;
        // Every model reads a file without MODEL records as model 1, the same way.
        EXPECT_EQ(read_every(c.text, ResidueRules::as_written), std::string("1: ") + c.as_written + "\n") << c.what;
    }
}

TEST(ResidueRules, EveryModelReadsTerRecordsAndTheHeadOnlyInTheFirst) {
    int p = 0;
    // The atoms before the first MODEL record (with their TER) belong to the first model only, as
    // the first-model read takes them.
    const std::string head = run(' ', 1, 2, p) + "TER\n";
    const int model_start = p;
    p = model_start;
    std::string text = head + "MODEL        1\n" + run(' ', 3, 4, p) + "ENDMDL\n";
    p = model_start;
    text += "MODEL        2\n" + run(' ', 1, 1, p) + "TER\n" + run(' ', 1, 1, p) + "ENDMDL\nEND\n";
    EXPECT_EQ(read_every(text, ResidueRules::as_written),
              "1: 1:1 1:2 2:3 2:4 [1]0..2[2]2..4\n"
              "2: 1:1 2:1 [1]0..1[2]1..2\n");
    EXPECT_EQ(read_every(text, ResidueRules::merged_keys),
              "1:  :1  :2  :3  :4 [ ]0..4\n"
              "2:  :1 [ ]0..1\n");
    EXPECT_EQ(read_first(text, ResidueRules::as_written), "1:1 1:2 2:3 2:4 [1]0..2[2]2..4");
}

std::string cif_row(const char* atom, const char* comp, int seq, const char* chain, int model, float x) {
    char line[160];
    std::snprintf(line, sizeof line, "ATOM %s %s %s %d %.3f %.3f %.3f %d\n", atom, comp, chain, seq, x, x + 1.0f,
                  x + 2.0f, model);
    return line;
}

TEST(ResidueRules, MmcifChainsWithoutIdsAreSplitToo) {
    std::string text = "data_T\nloop_\n_atom_site.group_PDB\n_atom_site.label_atom_id\n_atom_site.label_comp_id\n"
                       "_atom_site.auth_asym_id\n_atom_site.auth_seq_id\n_atom_site.Cartn_x\n_atom_site.Cartn_y\n"
                       "_atom_site.Cartn_z\n_atom_site.pdbx_PDB_model_num\n";
    std::string rows;
    float x = 0.0f;
    for (const int seq : {1, 2, 1}) {
        for (const char* atom : {"N", "CA", "C", "O"}) rows += cif_row(atom, "GLY", seq, ".", 1, x++);
    }
    EXPECT_EQ(read_first(text + rows, ResidueRules::as_written, FileFormat::mmcif), "1:1 1:2 2:1 [1]0..2[2]2..3");
    EXPECT_EQ(read_first(text + rows, ResidueRules::merged_keys, FileFormat::mmcif), ".:1 .:2 [.]0..2");
    EXPECT_EQ(read_every(text + rows, ResidueRules::as_written, FileFormat::mmcif), "1: 1:1 1:2 2:1 [1]0..2[2]2..3\n");
}

TEST(ResidueNames, ForceFieldVariantsTakeTheirParentsCodeAndScale) {
    const struct {
        const char* name;
        char code;           // in the companion's tables
        char module_code;    // as the tarnix module codes it
        const char* parent;  // whose maximum accessibility the name takes
    } cases[] = {
        {"HIS", 'H', 'H', "HIS"},  {"HIE", 'H', 'H', "HIS"},  {"HSD", 'H', 'X', "HIS"},  {"HSP", 'H', 'X', "HIS"},
        {"HISH", 'H', 'X', "HIS"}, {"ASH", 'D', 'X', "ASP"},  {"ASPP", 'D', 'X', "ASP"}, {"GLH", 'E', 'X', "GLU"},
        {"GLUP", 'E', 'X', "GLU"}, {"LYN", 'K', 'X', "LYS"},  {"LSN", 'K', 'X', "LYS"},  {"CYX", 'C', 'X', "CYS"},
        {"CYM", 'C', 'X', "CYS"},  {"CYS2", 'C', 'X', "CYS"}, {"ARN", 'R', 'X', "ARG"},  {"TYM", 'Y', 'X', "TYR"},
        {"hsd", 'H', 'X', "HIS"},  {"NALA", 'A', 'X', "ALA"}, {"CPRO", 'P', 'X', "PRO"}, {"NHIE", 'H', 'X', "HIS"},
        {"CCYX", 'C', 'X', "CYS"}, {"MSE", 'M', 'M', nullptr}, {"HOH", 'X', 'X', nullptr}, {"NAL", 'X', 'X', nullptr},
        {"XALA", 'X', 'X', nullptr}, {"NCYS2", 'X', 'X', nullptr}, {"CA", 'X', 'X', nullptr}, {"", 'X', 'X', nullptr},
        {"NHOH", 'X', 'X', nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(residue_code(c.name), c.code) << c.name;
        EXPECT_EQ(one_letter_code(c.name), c.module_code) << c.name;
        const auto maximum = engine::max_accessibility(c.name);
        if (c.parent == nullptr) {
            EXPECT_FALSE(maximum.has_value()) << c.name;
        } else {
            ASSERT_TRUE(maximum.has_value()) << c.name;
            EXPECT_EQ(*maximum, *engine::max_accessibility(c.parent)) << c.name;
        }
    }
    EXPECT_EQ(engine::max_accessibility("CYS"), 167.0f);
    EXPECT_EQ(engine::max_accessibility("ALA"), 129.0f);
}

TEST(ResidueNames, OnlyTheCompanionsReadingCodesVariants) {
    const std::string text = residue('A', 1, 0, "HSD") + residue('A', 2, 1, "CYX") + residue('A', 3, 2, "HIE");
    for (const auto& [rules, codes] :
         {std::pair{ResidueRules::as_written, "HCH"}, std::pair{ResidueRules::merged_keys, "XXH"}}) {
        MemorySource source(text);
        auto result = parse(FileFormat::pdb, source, ReadOptions{nullptr, rules});
        ASSERT_TRUE(std::holds_alternative<core::Structure>(result));
        std::string got;
        for (const core::Residue& r : std::get<core::Structure>(result).residues) got += r.amino_acid;
        EXPECT_EQ(got, codes);
    }
}

}  // namespace
}  // namespace tarnix::io
