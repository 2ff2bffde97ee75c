#pragma once

#include <c10/util/Exception.h>

#include <cstdint>

namespace common_utils {

// Kernels address whole 64-weight blocks of each row.
inline void check_multiple_of_64(int64_t size) { TORCH_CHECK(size % 64 == 0, size, " must be a multiple of 64"); }

}  // namespace common_utils
