// The core's single operation: every computed field of every residue, in phase order.
#pragma once

#include "core/structure.hpp"

namespace tarnix::core {

void assign_structure(Structure& structure, const AssignOptions& options);

}  // namespace tarnix::core
