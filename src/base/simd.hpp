// Whether the x86 vector paths are built. Elsewhere, or with TARNIX_NO_SIMD defined (so
// that the portable code can be tested on x86 too), plain code computes the same bits.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__) && !defined(TARNIX_NO_SIMD)
#define TARNIX_X86_SIMD 1
#endif
