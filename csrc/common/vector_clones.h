#pragma once
// Work-group functions that step through their work-items in loops the compiler vectorises.
// On x86-64 they are compiled three times, for the baseline and for the AVX2 and AVX-512 levels,
// and the loader picks the widest the machine runs.

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VORN_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define VORN_VECTOR_CLONES
#endif
