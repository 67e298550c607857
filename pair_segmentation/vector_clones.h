// Loops that take many pixels or lines side by side also get an AVX2 build,
// picked when the plug-in loads on a processor that has it. Both builds make
// the same IEEE operations in the same order (-ffp-contract=off keeps AVX2's
// fused multiply-add out), so they give the same bits.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define PAIR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define PAIR_VECTOR_CLONES
#endif
