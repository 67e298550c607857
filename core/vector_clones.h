// Instruction-set dispatch of the kernels of both commands.
//
// Loops that take many pixels or lines side by side get a build for wider
// vectors (AVX2), chosen when the plug-in is loaded on a processor that has
// them, and the baseline x86-64 (SSE2) build otherwise. Both make the same IEEE
// operations in the same order, lane by lane, and -ffp-contract=off keeps every
// multiplication apart from its addition, so they give the same bits.
// SEGMENTATION_BASELINE_VECTORS keeps the baseline everywhere, so that the
// tests can run its code paths on any processor.
#pragma once

#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__) && defined(__has_attribute) && \
    !defined(SEGMENTATION_BASELINE_VECTORS)
#if __has_attribute(target_clones)
#define VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define WIDER_VECTORS 1
#endif
#endif
#ifndef VECTOR_CLONES
#define VECTOR_CLONES
#endif
