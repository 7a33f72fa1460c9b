// The result classes TarnixResult and ResidueInfo, and the plain records behind them.
#pragma once

#include "bindings/common/py_ref.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::bindings {

struct ResidueRecord {
    std::string chain_id;
    std::optional<float> phi;
    std::optional<float> psi;
    std::uint64_t index = 0;
    char amino_acid = 'X';
    char structure = ' ';
    char structure_c3 = '-';
    std::int32_t seq_id = 0;
    float accessibility = 0.0f;
};

struct ResultRecord {
    std::string sequence;
    std::string sequence_c3;
    std::string aa_sequence;
    std::string structure_id;
    std::vector<ResidueRecord> residues;
};

// Reads a structure the core has finished. Touches no Python object, so batch workers may call it.
ResultRecord make_result_record(const core::Structure& structure);

// The two classes, created on first use and cached for the life of the process (new references).
PyObject* tarnix_result_type_object();
PyObject* residue_info_type_object();

// A new TarnixResult owning the record, or nullptr with an exception set.
PyObject* new_tarnix_result(ResultRecord record);

}  // namespace tarnix::bindings
