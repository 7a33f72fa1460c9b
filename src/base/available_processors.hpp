// How many processors this process may use.
#pragma once

#include <cstddef>

namespace tarnix::base {

// The number of processors this process may run on: its affinity set, further limited by a
// cgroup (v1 or v2) CPU quota; 1 when it cannot be determined.
std::size_t available_processors();

}  // namespace tarnix::base
