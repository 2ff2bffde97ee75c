#pragma once
// Packing of float matrices into the low-bit formats: the inverse of the decoders.

#include <cstdint>

#include "formats/parallel_rows.h"

namespace vorn::formats {

// Packs the row-major [n, k] matrix `weight` in format `qtype` into `out`, which must hold
// packed_bytes(qtype, n, k) bytes. Throws std::invalid_argument for a code without a format,
// a k that is not a whole number of blocks, a planar matrix with n*k >= 2^31, or a non-finite
// weight. Rows are packed in parallel through `parallel`.
void quantize(int qtype, const float* weight, int64_t n, int64_t k, uint8_t* out,
              const ParallelRows& parallel = parallel_rows_threads);

}  // namespace vorn::formats
