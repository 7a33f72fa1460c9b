// Relative accessibility: a residue's accessible surface over the most its type can expose.
#pragma once

#include <optional>
#include <string_view>

namespace tarnix::engine {

// The theoretical maximum accessibility in square Ångström of a standard residue, by its
// three-letter name or a force field's name for one of its variants (io::standard_residue);
// nothing for any other residue type.
std::optional<float> max_accessibility(std::string_view residue_name);

}  // namespace tarnix::engine
