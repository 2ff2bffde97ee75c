#pragma once
// The vector loops of the work-items of one vector-path work-group: for each of up to four
// weight rows ("streams"), the products of the activation row with the row's decoded weights,
// summed into 64 lanes per work-item (one lane per weight of a 64-weight block; a format whose
// codes are packed out of weight order may assign lanes by code position). These are the
// kernels' S-lane accumulators blocked into 64 / S independent registers, so that the sums do
// not wait on each other. Each work-item's lanes are then halved pairwise down to one value per
// stream (lanes i and i + 32, then i and i + 16, ...); the work-group code combines the
// work-items.
//
// Work-item l owns the chunks of four blocks c = l, l + L, ... below `steps`, then the single
// tail blocks 4 * steps + l, 4 * steps + l + L, ... below blocks_per_row, each visited in that
// order. The vector build with level lookups (q4_0 and q4_0_woq on AVX-512) takes the rows one
// by one and in each the work-items one by one, so that a work-item's lanes stay in registers;
// the others run the work-items interleaved in memory order, every row's runs in turn.
//
// Weights are decoded through the format's decoder and formed in fp16: q4_0 and q4_0_woq
// (code - 8) times the fp16 block scale; fp8_e4m3 the fp16 value times the block scale taken as
// fp16; fp8_e5m2 the fp16 value (no scale); codes 35 and 36 the value times the matrix's fp32
// scale, rounded to fp16. Products and lane sums are fp32 for fp32 activations; for fp16
// activations each product is rounded to fp16 and the lanes sum in fp32 (the row totals of the
// fp16 kernels are fp32 either way, and fp32 lanes lose less).
//
// Runs on the widest SIMD target of the machine (Highway's run-time dispatch).

#include <c10/util/Half.h>

#include <cstdint>

#include "formats/formats.h"

namespace vorn::vec {

inline constexpr int kStreams = 4;

// Lanes of a kernel's vectors: one 64-byte register of the activation type.
template <class T>
inline constexpr int kLanes = 64 / sizeof(T);

// Accumulator lanes per stream: one per weight of a block.
inline constexpr int kSumLanes = 64;

// Work-items per work-group the lane sums take (the kernels' L).
inline constexpr int kMaxLocalRange = 4;

template <class F, class T>
struct WorkItems {
  const T* x;                                   // the activation row
  const formats::Packed<F>* matrix[kStreams];   // the matrix of each stream
  int64_t first_block[kStreams];                // block index of each stream's row in it
  float expert_scale[kStreams];                 // codes 35 and 36: each matrix's fp32 scale
  int blocks_per_row, steps, local_range;
  int rows_per_group;                           // rows of each matrix a work-group takes
  float* sums;                                  // out: [local_range][kStreams], each work-item's row sums
};

// The formats of the vector path and of the mixture of experts.
#define VORN_VEC_FORMATS(X) X(Q4_0) X(Q4_0Woq) X(Fp8E4m3) X(Fp8E5m2) X(MoeFp8E5m2) X(MoeFp8E4m3)

#define VORN_VEC_DECLARE(F)                                        \
  void lane_sums(const WorkItems<formats::F, float>& items);      \
  void lane_sums(const WorkItems<formats::F, c10::Half>& items);
VORN_VEC_FORMATS(VORN_VEC_DECLARE)
#undef VORN_VEC_DECLARE

}  // namespace vorn::vec
