#pragma once
// The vector loops of the work-items of one vector-path work-group: for each of up to four
// weight rows ("streams"), the products of the activation row with the row's decoded weights,
// summed into S lanes per work-item (element j of every 64-weight block goes to lane j % S).
// The work-group code reduces the lanes and combines the work-items.
//
// Work-item l owns the chunks of four blocks c = l, l + L, ... below `steps`, then the single
// tail blocks 4 * steps + l, 4 * steps + l + L, ... below blocks_per_row, each visited in that
// order. The work-items run interleaved in memory order, so that every row streams through
// memory once. Weights are decoded through the format's decoder and rounded to fp16 as the
// format's rule names; products and lane sums are fp32 for fp32 activations; for fp16
// activations each product is rounded to fp16 and the lanes sum in fp32 (the row totals of the
// fp16 kernels are fp32 either way, and fp32 lanes lose less).
//
// Runs on the widest SIMD target of the machine (Highway's run-time dispatch).

#include <c10/util/Half.h>

#include <cstdint>

#include "formats/formats.h"

namespace vorn::vec {

inline constexpr int kStreams = 4;

// Lanes of the accumulators: one 64-byte register of the activation type.
template <class T>
inline constexpr int kLanes = 64 / sizeof(T);

template <class F, class T>
struct WorkItems {
  const T* x;                                   // the activation row
  const formats::Packed<F>* matrix[kStreams];   // the matrix of each stream
  int64_t first_block[kStreams];                // block index of each stream's row in it
  int blocks_per_row, steps, local_range;
  float* lanes;                                 // out: [local_range][kStreams][kLanes<T>], 64-byte aligned
};

void lane_sums(const WorkItems<formats::Q4_0, float>& items);
void lane_sums(const WorkItems<formats::Q4_0, c10::Half>& items);
void lane_sums(const WorkItems<formats::Q4_0Woq, float>& items);
void lane_sums(const WorkItems<formats::Q4_0Woq, c10::Half>& items);

}  // namespace vorn::vec
