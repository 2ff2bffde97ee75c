#pragma once
// The per-lane fields of a matrix-vector member's step (the values its combine scales a lane's
// sum with), read once per step from the format's scale data and spread over the lanes as
// vectors in T, as the members' Params form them one lane at a time.

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>

#include "formats/formats.h"
#include "linear/lane_codes.h"
#include "linear/lane_isa.h"
#include "linear/matvec_members.h"

namespace vorn::kernels {

// The first kFields scale fields of the blocks a step's lanes fall in, converted to T once per
// step, and spread over the lanes. A member's Params fields are the first of its block's scale
// fields: the scale (and offset) of the block, whose one group every lane of the block shares.
template <class M, class T, int W, class Isa, int kFields = M::template Params<Arith<T>>::kFields>
class StepScales {
  using F = typename M::F;
  using S = typename F::Scales;
  static_assert(F::kGroup == F::kBlock && kFields <= S::kFields, "lanes take their fields from their block");
  static constexpr int kStep = M::kLaneWeights * W;
  // A step of a row that starts inside a block (K a multiple of the unit only) spans one more.
  static constexpr int kMaxBlocks = (kStep + (M::kUnit < F::kBlock ? F::kBlock - M::kUnit : 0)) / F::kBlock + 1;
  static constexpr int kRuns = (kMaxBlocks + 15) / 16;  // vectors of block values per field
  static_assert(kRuns <= 2, "a step's lanes take their fields from at most 32 blocks");

  f32x16 block_values_[kFields][kRuns];
  // Of the step's first weight in its block. None when the unit spans whole blocks, as rows
  // and steps start on a unit: known at compile time, so that the lanes' blocks are constants.
  uint32_t offset_;

 public:
  StepScales(const formats::Packed<F>& packed, int64_t first, int lanes)
      : offset_(M::kUnit % F::kBlock == 0 ? 0 : static_cast<uint32_t>(first % F::kBlock)) {
    // The blocks that the step's lanes fall in.
    const int blocks = (offset_ + lanes * M::kLaneWeights + F::kBlock - 1) / F::kBlock;
    const uint8_t* run = packed.w + packed.at.scales(first / F::kBlock);
    prefetch_ahead<kRuns * S::kFields * 64>(run);
    // The run's fields in order, 16 per vector: block i's field f is field i * S::kFields + f.
    f32x16 fields[kRuns * S::kFields];
    for (int c = 0; c < kRuns * S::kFields; ++c) {
      const int count = std::clamp(blocks * S::kFields - 16 * c, 0, 16);
      if constexpr (S::kType == formats::FieldType::f16) {
        fields[c] = VectorHalves<Isa>::apply(FieldLoad<Isa>::halves(run + 32 * c, count));
      } else {
        fields[c] = FieldLoad<Isa>::floats(run + 64 * c, count);
      }
    }
    static_assert(S::kFields <= 2, "at most two fields per block");
    for (int f = 0; f < kFields; ++f) {
      for (int r = 0; r < kRuns; ++r) {
        f32x16 v = fields[r];
        if constexpr (S::kFields == 2) {
          i32x16 field;
          for (int i = 0; i < 16; ++i) field[i] = 2 * i + f;
          v = __builtin_shuffle(fields[2 * r], fields[2 * r + 1], field);
        }
        block_values_[f][r] = VectorRound<T, Isa>::apply(v);
      }
    }
  }

  // Field f of lanes 16v .. 16v + 15: that of the block each lane's weights lie in.
  f32x16 lanes(int f, int v) const {
    u32x16 lane;
    for (int i = 0; i < 16; ++i) lane[i] = 16 * v + i;
    const u32x16 block = (offset_ + lane * M::kLaneWeights) / F::kBlock;
    if constexpr (kRuns == 1) {
      return __builtin_shuffle(block_values_[f][0], block);
    } else {
      return __builtin_shuffle(block_values_[f][0], block_values_[f][1], block);
    }
  }
};

// q4_k's fields of a step, d * sc and dmin * mn in T, for the lanes of each vector: lane i of
// vector v takes the unit (32-weight sub-block) 8v + i/2 of the step. Rows start on a
// sub-block (K is a multiple of 32), not always on a super-block.
template <class T, int W, class Isa>
class SubBlockFields {
  using F = formats::Q4K;
  static constexpr int kVectors = W / 16;
  static constexpr int kMaxSuperBlocks = Q4KMember::kLaneWeights * W / F::kBlock + 1;
  static_assert(2 * kMaxSuperBlocks <= 16, "a step's (d, dmin) pairs fit one vector");
  f32x16 d_sc_[kVectors], dmin_mn_[kVectors];

 public:
  SubBlockFields(const formats::Packed<F>& packed, int64_t first, int lanes) {
    using VA = VectorArith<T, Isa>;
    const int64_t sub_block = first / 32, super_block = sub_block / 8;
    const uint32_t offset = static_cast<uint32_t>(sub_block % 8);
    const int units = lanes / 2;
    const int super_blocks = static_cast<int>(offset + units + 7) / 8;
    // The sub-scales and the (d, dmin) pairs of the same super-blocks ahead (4 bytes of pairs to
    // 16 of sub-scales): without the pairs' prefetch, q4_k in fp32 took 8% longer from memory.
    prefetch_ahead<64>(packed.w + packed.at.sub_scales(super_block));
    prefetch_ahead<64, kPrefetchDistance / 4>(packed.w + packed.at.scales(super_block));
    // d0, dmin0, d1, dmin1, ... of the step's super-blocks.
    const f32x16 scales = VectorRound<T, Isa>::apply(
        VectorHalves<Isa>::apply(FieldLoad<Isa>::halves(packed.w + packed.at.scales(super_block), 2 * super_blocks)));
    for (int v = 0; v < kVectors; ++v) {
      // sc, mn of units 8v .. 8v + 7 (the sub-scale pairs of consecutive sub-blocks are consecutive).
      const u32x16 pairs = FieldLoad<Isa>::bytes(packed.w + packed.at.sub_scales(super_block) + 2 * offset + 16 * v,
                                                 std::clamp(2 * units - 16 * v, 0, 16));
      // Lane indices that depend on the run-time offset are formed by vector operations: GCC
      // compiles an element-wise loop over them to one masked broadcast per lane, which cost
      // more than the step's sums.
      u32x16 sc_at, unit;
      for (int i = 0; i < 16; ++i) {
        sc_at[i] = i & ~1;
        unit[i] = 8 * v + i / 2;
      }
      const u32x16 scale_at = (unit + offset) / 8 * 2;
      const f32x16 sc = __builtin_convertvector(__builtin_shuffle(pairs, sc_at), f32x16);
      const f32x16 mn = __builtin_convertvector(__builtin_shuffle(pairs, sc_at + 1), f32x16);
      d_sc_[v] = VA::mul(__builtin_shuffle(scales, scale_at), sc);
      dmin_mn_[v] = VA::mul(__builtin_shuffle(scales, scale_at + 1), mn);
    }
  }
  f32x16 lanes(int f, int v) const { return f == 0 ? d_sc_[v] : dmin_mn_[v]; }
};

// The fields of a step of q6_k or fp6_k lanes, one 16-weight group per lane (lane i of vector v
// takes group 16v + i of the step), from the super-blocks' fp16 d and the groups' int8 sc, as
// the members' Params form them: q6_k keeps d and sc in T, fp6_k takes the format's group scale.
template <class M, class T, int W, class Isa>
class GroupFields {
  using F = typename M::F;
  static constexpr int kVectors = W / 16, kGroup = 16, kGroupsPerBlock = F::kBlock / kGroup;
  static constexpr int kFields = M::template Params<Arith<T>>::kFields;
  static_assert(M::kLaneWeights == kGroup && M::kUnit == kGroup && F::kGroup == kGroup, "a lane per group");
  static_assert(W / kGroupsPerBlock + 1 <= 16, "a step's super-block scales fit one vector");
  f32x16 fields_[kFields][kVectors];

 public:
  GroupFields(const formats::Packed<F>& packed, int64_t first, int lanes) {
    using R = VectorRound<T, Isa>;
    const int64_t group = first / kGroup, super_block = group / kGroupsPerBlock;
    const uint32_t offset = static_cast<uint32_t>(group % kGroupsPerBlock);
    const int super_blocks = static_cast<int>(offset + lanes + kGroupsPerBlock - 1) / kGroupsPerBlock;
    // The sub-scales and the d of the same super-blocks ahead (2 bytes of d to 16 of sub-scales).
    prefetch_ahead<64>(packed.w + packed.at.sub_scales(super_block));
    prefetch_ahead<64, kPrefetchDistance / 8>(packed.w + packed.at.scales(super_block));
    const f32x16 d =
        VectorHalves<Isa>::apply(FieldLoad<Isa>::halves(packed.w + packed.at.scales(super_block), super_blocks));
    for (int v = 0; v < kVectors; ++v) {
      // The groups' sub-scales are consecutive bytes.
      const u32x16 bytes = FieldLoad<Isa>::bytes(packed.w + packed.at.sub_scales(super_block) + offset + 16 * v,
                                                 std::clamp(lanes - 16 * v, 0, 16));
      const f32x16 sc = __builtin_convertvector(formats::SignedByte::integer(bit_as<i32x16>(bytes)), f32x16);
      u32x16 step_group;  // the block of each lane by vector operations, as SubBlockFields' indices
      for (int i = 0; i < 16; ++i) step_group[i] = 16 * v + i;
      const u32x16 block_of = (step_group + offset) / kGroupsPerBlock;
      const f32x16 lane_d = __builtin_shuffle(d, block_of);
      if constexpr (std::is_same_v<F, formats::Fp6K>) {
        fields_[0][v] = R::apply(F::group_scale(lane_d, sc, VectorRound<c10::Half, Isa>::apply));
      } else {
        static_assert(std::is_same_v<M, Q6KMember>, "q6_k and fp6_k");
        fields_[0][v] = R::apply(lane_d);
        fields_[1][v] = R::apply(sc);
      }
    }
  }
  f32x16 lanes(int f, int v) const { return fields_[f][v]; }
};

// The fields of a step of q5 lanes: the scale of each vector's block (q5_0), or none (q5_1,
// whose lanes multiply decoded weights).
template <class M, class T, int W, class Isa>
class PairFields {
  using F = typename M::F;
  static constexpr int kFields = M::template Params<Arith<T>>::kFields;
  static_assert(kFields == 0 || (kFields == 1 && F::kScaling == formats::Scaling::scale), "the block scale");
  f32x16 scale_[W / 16];

 public:
  PairFields(const formats::Packed<F>& packed, int64_t first, int lanes) {
    for (int v = 0; v < W / 16; ++v) {
      if (kFields == 0 || 16 * v >= lanes) {
        scale_[v] = f32x16{};
      } else if (v % 2 == 1) {
        scale_[v] = scale_[v - 1];  // the two vectors of a block's 32 lanes
      } else {
        scale_[v] = __builtin_shuffle(pair_block_fields<F, T, Isa>(packed, first / F::kBlock + v / 2), u32x16{});
      }
    }
  }
  f32x16 lanes(int, int v) const { return scale_[v]; }
};

// The per-lane fields of a member's step.
template <class M, class T, int W, class Isa>
struct StepFieldsOf {
  using type = std::conditional_t<HasCodePairs<typename M::F>::value, PairFields<M, T, W, Isa>,
                                  StepScales<M, T, W, Isa>>;
};
template <class T, int W, class Isa>
struct StepFieldsOf<Q4KMember, T, W, Isa> {
  using type = SubBlockFields<T, W, Isa>;
};
template <class T, int W, class Isa>
struct StepFieldsOf<Q6KMember, T, W, Isa> {
  using type = GroupFields<Q6KMember, T, W, Isa>;
};
template <class T, int W, class Isa>
struct StepFieldsOf<members::Fp6K, T, W, Isa> {
  using type = GroupFields<members::Fp6K, T, W, Isa>;
};

}  // namespace vorn::kernels
