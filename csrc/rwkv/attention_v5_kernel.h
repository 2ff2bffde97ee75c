#pragma once
// The version-5 multi-head recurrence: one work-item per (batch, head, value channel) keeps its
// column of the head's kHeadSize × kHeadSize state in registers for the whole sequence.

#include <c10/core/Device.h>

#include <cstdint>

namespace rwkv {

// Strides of the receptance, key and value views, which share them; the innermost dimension is
// contiguous.
struct SequenceStrides {
  int64_t batch, head, time;
};

// Work-groups of kWorkGroup value channels over a (B, H, kHeadSize) range, sub-groups of kSubGroup.
// receptance, key, value: [B, H, T, kHeadSize] at `strides`; time_decay, time_first: [H, kHeadSize];
// state: [B, H, kHeadSize, kHeadSize] contiguous, read and overwritten; result: [B, T, H, kHeadSize].
template <int kHeadSize, int kWorkGroup, int kSubGroup>
void rwkv_linear_attention_kernel_v5(const float* time_decay, const float* time_first,
                                     const float* receptance, const float* key, const float* value,
                                     float* state, float* result, int64_t B, int64_t H, int64_t T,
                                     SequenceStrides strides, const c10::Device& device);

}  // namespace rwkv
