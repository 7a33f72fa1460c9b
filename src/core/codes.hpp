// The eight-state secondary-structure codes and their three-state reduction.
#pragma once

namespace tarnix::core {

// H, G, I -> H; E, B -> E; P, T, S and blank -> '-'.
constexpr char code_c3(char ss) {
    switch (ss) {
        case 'H':
        case 'G':
        case 'I': return 'H';
        case 'E':
        case 'B': return 'E';
        default: return '-';
    }
}

}  // namespace tarnix::core
