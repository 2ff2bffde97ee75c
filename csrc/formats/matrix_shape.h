#pragma once
// Argument checks shared by the whole-matrix decode and quantize functions.

#include <cstdint>

namespace vorn::formats {

// Checks an [n, k] matrix of `qtype` (a code with a format, n and k non-negative, k a whole
// number of blocks, n*k below 2^31 for the planar formats) and returns the N*K that places the
// planar regions. Throws std::invalid_argument naming the offending value.
int32_t checked_region_nk(int qtype, int64_t n, int64_t k);

// Throws std::invalid_argument when a non-empty matrix comes with a null buffer.
void check_buffers(const void* in, const void* out, int64_t n, int64_t k);

}  // namespace vorn::formats
