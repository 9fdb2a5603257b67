// Loops over grid nodes that the compiler vectorises are built twice where
// the toolchain allows it: for AVX2 and for the baseline, the dynamic loader
// choosing by the processor (an ifunc, so glibc only).  AVX2 brings no fused
// multiply-add, and each element of a vector operation rounds as the scalar
// one does, so both builds give the same bits.
//
// Only functions that cannot throw may be built so, and they are declared
// noexcept: calls through the loader's choice are taken not to throw, so an
// exception leaving one would end the process.
#pragma once

#include <cstddef>  // defines __GLIBC__ where the C library is glibc

#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute) && !defined(ZUB_NO_VECTOR_CLONES)
#if __has_attribute(target_clones)
#define ZUB_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef ZUB_VECTOR_CLONES
#define ZUB_VECTOR_CLONES
#endif
