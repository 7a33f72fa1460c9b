#pragma once

#include <string_view>

namespace tarnix::io {

// One-letter amino-acid code of a residue name after full Unicode upper-casing; 'X' when the
// upper-cased name is not one of the table's three-letter names.
char one_letter_code(std::string_view residue_name);

}  // namespace tarnix::io
