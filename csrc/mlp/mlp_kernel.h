#pragma once
// The fused gate/up kernel: for one activation row x, out[n] = act(x . W1[n]) * (x . W2[n]).
//
// Work-group g owns rows g*R .. g*R + R - 1 of both matrices; work-item l sweeps the row in
// chunks of kSubBlk weights (chunk l of each span of kSubBlk*WG weights), multiplies each chunk
// by the same input elements for all R rows of W1 and then of W2, sums the chunk's products in
// the chunk's byte order, scales the sum by the block scale and accumulates, all in T. The
// work-group then reduces its accumulators by a barrier-separated tree and work-item 0 applies
// the activation in fp32. Rows at or beyond N are neither read nor written.

#include <c10/core/Device.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "common/submit_kernel.h"
#include "formats/formats.h"
#include "linear/matvec_members.h"
#include "linear/word_lanes.h"

namespace vorn::kernels {

// Which weights of a 64-weight block a chunk holds, in the order their products are summed.
template <class F>
struct MlpChunk;

// Two-nibble formats: byte 8c + t holds element 8c + t (low nibble) and 32 + 8c + t (high).
template <class F>
struct HalvesChunk {
  static constexpr int kSubBlk = 16;
  static int element(int c, int i) { return (i & 1) ? 32 + 8 * c + i / 2 : 8 * c + i / 2; }
};
template <> struct MlpChunk<formats::Q4_0> : HalvesChunk<formats::Q4_0> {};
template <> struct MlpChunk<formats::Fp4> : HalvesChunk<formats::Fp4> {};

// Formats whose chunk is a run of consecutive elements.
template <int kSize>
struct RunChunk {
  static constexpr int kSubBlk = kSize;
  static int element(int c, int i) { return kSize * c + i; }
};
template <> struct MlpChunk<formats::Q4_0Woq> : RunChunk<16> {};
template <> struct MlpChunk<formats::Fp6> : RunChunk<16> {};
template <> struct MlpChunk<formats::Fp8E5m2> : RunChunk<8> {};

// The block scale the fused kernel applies: fp8_e5m2 carries an fp32 per block that only this
// kernel reads.
template <class F>
inline float mlp_block_scale(const typename F::Block& b) {
  if constexpr (std::is_same_v<F, formats::Fp8E5m2>) {
    return b.d;
  } else {
    return b.scale(0);
  }
}

inline float gated_activation(float gate, float up, int act_type) {
  if (act_type == 0) return (gate * up) / (std::exp(-gate) + 1.0f);
  return (0.5f * gate) * (std::tanh(0.7978846f * (gate + 0.044715f * std::pow(gate, 3.0f))) + 1.0f) * up;
}

// The formats whose chunks are lanes of the matrix-vector family's word-lane members: the
// same weights in the same order, the same sums and combine in T (word_lanes.h).
template <class F>
struct MlpMember {
  using type = void;
};
template <> struct MlpMember<formats::Q4_0> { using type = members::Q4_0; };
template <> struct MlpMember<formats::Fp4> { using type = members::Fp4; };
template <> struct MlpMember<formats::Q4_0Woq> { using type = members::Q4_0Woq; };
template <> struct MlpMember<formats::Fp6> { using type = members::Fp6; };
// fp8_e5m2 scales each block's sums by its stored fp32, which only this kernel reads. Our
// quantizer stores 1 there (the forward ignores it), and a step whose blocks all hold 1 combines
// as the forward's member does.
struct MlpFp8E5m2 : ScaledMember<formats::Fp8E5m2, 8, 8, LaneOrder::run> {
  using AtUnitScales = members::Fp8E5m2;
  template <class A>
  struct Params : ScaledMember::Params<A> {
    Params() = default;
    Params(const formats::Fp8E5m2::Block& b, int) { this->fields[0] = A::from(b.d); }
  };
};
template <> struct MlpMember<formats::Fp8E5m2> { using type = MlpFp8E5m2; };

// How a work-group's rows advance, for more independent chains of additions (measured on an
// AMD Zen 5 without AVX512-FP16):
// - kFourRows: with the sums that round in fp16 or bf16 (long latencies, two rows at a time),
//   two gate rows and the two up rows of the same outputs together, where the others take a
//   gate row and an up row (in bf16 20% faster; fp8_e5m2 took 47% longer so in bf16, fp6 5%);
// - kGateAndUp: with the sums of one row at a time (fp32, and fp16 or bf16 outside the rounding
//   sums' ranges), a gate row and an up row together, where the others take one row at a time
//   (fp6's exact sums and fp8_e5m2 measured slower together);
// - kTwoStepsInBf16: with the bf16 sums, two steps of the gate row and the up row at a time (for
//   fp8_e5m2 9% faster from memory);
// - kWholeSteps: elsewhere, steps with a constant lane count and the last partial step on its
//   own, where the others check every step's lanes. Whole steps took 10 to 20% longer from memory
//   for fp32 q4_0 and fp4, whatever the prefetch, and 6 to 8% less for fp32 fp6, whose decode
//   takes more operations (fp16 and bf16 the same).
// With AVX512-FP16's binary16 sums, two gate rows and then two up rows (a gate row and an up
// row together took 3 to 6% longer there).
template <bool kFour, bool kGateAndUpTogether, bool kTwoSteps, bool kWhole>
struct RowPlan {
  static constexpr bool kFourRows = kFour, kGateAndUp = kGateAndUpTogether, kTwoStepsInBf16 = kTwoSteps,
                        kWholeSteps = kWhole;
};
template <class F>
struct FusedRows;
template <> struct FusedRows<formats::Q4_0> : RowPlan<true, true, false, false> {};
template <> struct FusedRows<formats::Q4_0Woq> : RowPlan<true, true, false, false> {};
template <> struct FusedRows<formats::Fp4> : RowPlan<true, true, false, false> {};
template <> struct FusedRows<formats::Fp6> : RowPlan<false, false, false, true> {};
template <> struct FusedRows<formats::Fp8E5m2> : RowPlan<false, false, true, false> {};

// Work-group g: rows g*R .. g*R + R - 1 of both matrices, lane by lane as the chunks above.
template <class F, class T, int WG, int R>
void mlp_chunk_group(const formats::Packed<F>& w1, const formats::Packed<F>& w2, const T* input, T* output,
                     int64_t K, int64_t N, int act_type, const hostxpu::work_group& g) {
  using Chunk = MlpChunk<F>;
  constexpr int kSubBlk = Chunk::kSubBlk;
  constexpr int64_t kSpan = int64_t(kSubBlk) * WG;
  const int64_t blocks_per_row = K / 64;
  T* local = g.local_as<T>();  // [matrix][row][work-item]
  const int64_t row0 = static_cast<int64_t>(g.linear_id) * R;
  const int rows = static_cast<int>(std::min<int64_t>(R, N - row0));
  for (int l = 0; l < WG; ++l) {
    const int64_t steps = K / kSpan + (l < (K % kSpan) / kSubBlk ? 1 : 0);
    const int64_t block_in_span = int64_t(l) * kSubBlk / 64;
    const int c = (l * kSubBlk % 64) / kSubBlk;
    for (int m = 0; m < 2; ++m) {
      const formats::Packed<F>& w = m == 0 ? w1 : w2;
      for (int r = 0; r < R; ++r) {
        T acc = T(0);
        if (r < rows) {
          for (int64_t s = 0; s < steps; ++s) {
            const int64_t block = s * (kSpan / 64) + block_in_span;
            const auto b = w.block((row0 + r) * blocks_per_row + block);
            const T* x = input + block * 64;
            T sum = T(0);
            for (int i = 0; i < kSubBlk; ++i) {
              const int j = Chunk::element(c, i);
              sum = sum + T(b.value(j)) * x[j];
            }
            acc = acc + sum * T(mlp_block_scale<F>(b));
          }
        }
        local[(m * R + r) * WG + l] = acc;
      }
    }
  }
  for (int stride = WG / 2; stride > 0; stride /= 2) {
    for (int a = 0; a < 2 * R; ++a) {
      for (int l = 0; l < stride; ++l) local[a * WG + l] = local[a * WG + l] + local[a * WG + l + stride];
    }
  }
  for (int r = 0; r < rows; ++r) {
    output[row0 + r] = T(gated_activation(float(local[r * WG]), float(local[(R + r) * WG]), act_type));
  }
}

// The same work-group with its lanes as vectors.
template <class M, class T, int WG, int R, class Isa>
void mlp_word_lane_group(const formats::Packed<typename M::F>& w1, const formats::Packed<typename M::F>& w2,
                         const T* input, T* output, int64_t K, int64_t N, int act_type, const hostxpu::work_group& g) {
  static_assert(M::kLaneWeights == MlpChunk<typename M::F>::kSubBlk, "a lane takes one chunk per step");
  const LaneLevels<typename M::F, T, Isa> levels;
  const auto& activations = lane_activations<M, T, WG>(input, 1, K, g.launch_serial);
  const int64_t row0 = static_cast<int64_t>(g.linear_id) * R;
  with_word_sums<M, T, WG, Isa>(activations, [&](auto sums) {
    using Sums = typename decltype(sums)::type;
    // Which rows advance together (FusedRows); a last odd row is computed twice, written once.
    using Rows = FusedRows<typename M::F>;
    constexpr bool kTwoRowSums = decltype(sums)::kRows == 2;
    constexpr int kRows = R % 2 == 0 && (kTakesHalfPairs<Sums> || (kTwoRowSums && Rows::kFourRows)) ? 2 : 1;
    constexpr bool kTogether = !kTakesHalfPairs<Sums> && (kTwoRowSums || Rows::kGateAndUp);
    const int64_t row_end = std::min<int64_t>(row0 + R, N);
    for (int64_t row = row0; row < row_end; row += kRows) {
      typename SumLanes<T, Isa>::V acc[2 * kRows][WG / 16];  // gate rows, then up rows
      int64_t rows[kRows];
      for (int r = 0; r < kRows; ++r) rows[r] = std::min<int64_t>(row + r, row_end - 1);
      const formats::Packed<typename M::F>* matrices[2] = {&w1, &w2};
      constexpr StepWalk kWalk = kTakesVectorPairs<Sums> && Rows::kTwoStepsInBf16 ? StepWalk::whole_pairs
                                 : Rows::kWholeSteps                                ? StepWalk::whole
                                                                                    : StepWalk::checked;
      if constexpr (kTogether) {
        // The gate rows, then the up rows of the same outputs.
        const formats::Packed<typename M::F>* weights[2 * kRows];
        int64_t weight_rows[2 * kRows];
        for (int i = 0; i < 2 * kRows; ++i) {
          weights[i] = matrices[i / kRows];
          weight_rows[i] = rows[i % kRows];
        }
        word_lane_rows_together<M, T, WG, Isa, Sums, NearCodePrefetch, kWalk>(weights, weight_rows, activations,
                                                                              levels, K, acc);
      } else {
        for (int m = 0; m < 2; ++m) {
          const formats::Packed<typename M::F>* weights[kRows];
          std::fill_n(weights, kRows, matrices[m]);
          word_lane_rows_together<M, T, WG, Isa, Sums, NearCodePrefetch, kWalk>(weights, rows, activations, levels,
                                                                                K, acc + m * kRows);
        }
      }
      for (int r = 0; r < kRows && row + r < row_end; ++r) {
        const T gate = reduce_lanes<T, WG, Isa>(acc[r]), up = reduce_lanes<T, WG, Isa>(acc[kRows + r]);
        output[row + r] = T(gated_activation(float(gate), float(up), act_type));
      }
    }
  });
}

template <class F, class T, int SG, int WG, int R>
void mlp_forward_kernel(const char* name, const T* input, const uint8_t* weight1, const uint8_t* weight2,
                        T* output, int64_t K, int64_t N, int act_type, const c10::Device& device) {
  using M = typename MlpMember<F>::type;
  const formats::Packed<F> w1(weight1, static_cast<int32_t>(N * K)), w2(weight2, static_cast<int32_t>(N * K));
  const int64_t groups = (N + R - 1) / R;
  hostxpu::kernel_desc desc{name, hostxpu::nd_range(groups * WG, WG), SG, sizeof(T) * 2 * R * WG};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          if constexpr (!std::is_void_v<M> && !std::is_same_v<T, double>) {
            with_lane_isa<T>([&](auto isa) {
              mlp_word_lane_group<M, T, WG, R, decltype(isa)>(w1, w2, input, output, K, N, act_type, g);
            });
          } else {
            mlp_chunk_group<F, T, WG, R>(w1, w2, input, output, K, N, act_type, g);
          }
        });
      },
      device, name);
}

}  // namespace vorn::kernels
