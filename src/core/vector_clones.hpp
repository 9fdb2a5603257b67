// Loops over grid nodes that the compiler vectorises are built twice where
// the target allows it: for AVX2 and for the baseline, the loader choosing
// by the processor.  AVX2 brings no fused multiply-add, and each element of
// a vector operation rounds as the scalar one does, so both builds give the
// same bits.
#pragma once

#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(ZUB_NO_VECTOR_CLONES)
#define ZUB_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZUB_VECTOR_CLONES
#endif
