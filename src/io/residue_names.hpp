#pragma once

#include <string_view>

namespace tarnix::io {

// One-letter amino-acid code of a residue name after full Unicode upper-casing; 'X' when the
// upper-cased name is not one of the table's three-letter names.
char one_letter_code(std::string_view residue_name);

// The standard residue a name stands for, upper case: the name itself for one of the twenty, the
// parent of a force field's protonation or disulfide variant (HSD, CYX, ASH, ...), and either of
// these behind an N- or C-terminal prefix (NALA, CHIE); empty for any other name. ASCII letters
// match in either case.
std::string_view standard_residue(std::string_view residue_name);

// one_letter_code, or for a name it codes 'X', the code of the name's standard residue.
char residue_code(std::string_view residue_name);

}  // namespace tarnix::io
