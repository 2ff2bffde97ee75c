#pragma once
// The version-4 weighted key-value recurrence: one work-item per (batch, channel) runs the whole
// sequence in fp32 with its state (numerator, denominator, maximum exponent) in registers.

#include <c10/core/Device.h>

#include <cstdint>

namespace rwkv {

// Work-groups of kWorkGroup channels over a (B, C) range, sub-groups of kSubGroup.
// key, value, result: [B, T, C] contiguous; time_decay, time_first: [C];
// num_state, den_state, max_state: [B, C] contiguous fp32, read and overwritten.
// C must be a multiple of kWorkGroup.
template <typename scalar_t, int kWorkGroup, int kSubGroup>
void rwkv_linear_attention_kernel_v4(const scalar_t* time_decay, const scalar_t* time_first,
                                     const scalar_t* key, const scalar_t* value, scalar_t* result,
                                     float* num_state, float* den_state, float* max_state, int64_t B,
                                     int64_t T, int64_t C, const c10::Device& device);

}  // namespace rwkv
