#pragma once
// Reference expansion of a packed matrix to fp32, built from the per-format decoders.

#include <cstdint>

#include "formats/parallel_rows.h"

namespace vorn::formats {

// Writes the n*k fp32 weights of the packed [n, k] matrix `w` of format `qtype` to `out`, row
// by row, each weight as the format's rule gives it. Throws std::invalid_argument as
// quantize() does for codes and shapes.
void decode_matrix(int qtype, const uint8_t* w, int64_t n, int64_t k, float* out,
                   const ParallelRows& parallel = parallel_rows_threads);

}  // namespace vorn::formats
