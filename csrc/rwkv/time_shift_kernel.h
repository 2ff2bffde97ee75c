#pragma once
// Token-shift mixing: M blends of the hidden states with their shifted counterparts.

#include <c10/core/Device.h>

#include <cstdint>

namespace rwkv {

// Work-groups of kWorkGroup channels over a (B, T, C) range, sub-groups of kSubGroup.
// hidden, shifted: [B, T, C] contiguous; mix: [M, C] contiguous; result: [M, B, T, C].
// C must be a multiple of kWorkGroup.
template <typename scalar_t, int kWorkGroup, int kSubGroup>
void rwkv_time_shift_kernel(const scalar_t* hidden, const scalar_t* shifted, const scalar_t* mix,
                            scalar_t* result, int64_t M, int64_t B, int64_t T, int64_t C,
                            const c10::Device& device);

}  // namespace rwkv
