#pragma once
// The matrix-vector kernel family: y = W x for one activation row (and, in the by-batch
// members, for pairs of rows) straight from a packed weight.
//
// A work-group of W work-items owns R consecutive output rows. Each work-item walks the row in
// steps of kLaneWeights*W columns, forms per step and row the sum s of its weights times their
// activations in its member's order, adds it to its accumulator through the member's combine,
// and the group then sums the W accumulators by a tree reduction (strides W/2, W/4, ..., 1).
// The last, partial step is taken by the work-items l < (K mod step)/kLaneWeights.
//
// On the host a work-group function runs its work-items as lanes of arrays, innermost where the
// work-items are independent, so that the loops vectorise; every operation is the work-item's
// own, in its order and in T's arithmetic (lane_arith.h). The weights of a step are decoded per
// unit in the format's order into planes laid out so that lane l's i-th weight sits at
// l*run + i, run being the lane's weights per plane.
//
// Rows are flat runs of the packed stream (row n holds weights n*K .. n*K + K - 1), so a unit
// never straddles two rows when K is a multiple of kUnit; the launchers require that.

#include <c10/core/Device.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>

#include "common/submit_kernel.h"
#include "formats/formats.h"
#include "linear/lane_arith.h"
#include "linear/matvec_members.h"
#include "linear/word_lanes.h"

namespace vorn::kernels {

// The checks of a matrix-vector launch: K against the weights a work-item reads per row and
// step (SUB_BLK_H), then against the unit its work-items share.
template <class M>
void check_state_size(int64_t K) {
  if constexpr (M::kSubBlock != 0) {
    TORCH_CHECK(K % M::kSubBlock == 0, K, " must be a multiple of ", M::kSubBlock);
  }
  TORCH_CHECK(K % M::kUnit == 0, "in_features (K) ", K, " must be a multiple of ", M::kUnit, " for ",
              formats::qtype_name(M::F::kQtype), ": its work-items read whole runs of ", M::kUnit,
              " weights of a row");
}

// One work-group's view of a member M in element type T with W work-items.
template <class M, class T, int W>
struct Lanes {
  using A = Arith<T>;
  using C = typename A::C;
  using F = typename M::F;
  using Params = typename M::template Params<A>;
  static constexpr int kLaneWeights = M::kLaneWeights;
  static constexpr int kUnit = M::kUnit;
  static constexpr int kLanesPerUnit = kUnit / kLaneWeights;
  static constexpr int kStep = kLaneWeights * W;  // columns per step
  static constexpr int kUnits = W / kLanesPerUnit;
  static constexpr bool kHalves = M::kOrder == LaneOrder::halves;
  static constexpr int kSegment = kHalves ? kUnit / 2 : kUnit;  // weights of a unit per plane
  static constexpr int kRun = kHalves ? kLaneWeights / 2 : kLaneWeights;  // a lane's per plane
  static_assert(W % kLanesPerUnit == 0, "a work-group holds whole units");

  // Planes of one step: plane h holds segment h of every unit, units in order.
  struct Planes {
    C p[2][kHalves ? kStep / 2 : kStep];
  };

  // The `count` activations of a step from x[first] on, in the compute type: x itself for fp32
  // and fp64, a copy widened into `buffer` for fp16 and bf16 (each work-group loads its own, as
  // the work-items do).
  static const C* step_activations(const T* x, int64_t first, int count, C* buffer) {
    if constexpr (std::is_same_v<C, T>) {
      return x + first;
    } else {
      for (int i = 0; i < count; ++i) buffer[i] = A::load(x[first + i]);
      return buffer;
    }
  }

  static int steps(int64_t K) { return static_cast<int>(K / kStep + (K % kStep != 0)); }
  static int active_lanes(int64_t K, int step) {
    return step < K / kStep ? W : static_cast<int>((K % kStep) / kLaneWeights);
  }

  // The step's activations in plane layout.
  static void activation_planes(const C* x, int units, Planes& out) {
    for (int u = 0; u < units; ++u) {
      for (int h = 0; h < (kHalves ? 2 : 1); ++h) {
        const C* src = x + u * kUnit + h * kSegment;
        C* dst = out.p[h] + u * kSegment;
        for (int i = 0; i < kSegment; ++i) dst[i] = src[i];
      }
    }
  }

  // Decodes the weights of `units` units starting at flat weight `flat` into planes, and the
  // combine parameters of each unit. With the step's activations x (in column order), the
  // planes receive the products of lane value and activation; without, the lane values.
  static void decode(const formats::Packed<F>& packed, int64_t flat, int units, const C* x, Planes& out,
                     Params* params) {
    for (int u = 0; u < units;) {
      const int64_t first = flat + int64_t(u) * kUnit;
      const auto block = packed.block(first / F::kBlock);
      const int unit_in_block = static_cast<int>((first % F::kBlock) / kUnit);
      const int count = std::min(units - u, F::kBlock / kUnit - unit_in_block);
      for (int k = 0; k < count; ++k, ++u) {
        const int j0 = (unit_in_block + k) * kUnit;  // a multiple of kUnit: 0 when kUnit == kBlock
        params[u] = Params(block, j0);
        C* planes[2] = {out.p[0] + u * kSegment, out.p[1] + u * kSegment};
        if (x) {
          decode_unit<true>(block, j0, x + u * kUnit, planes);
        } else {
          decode_unit<false>(block, j0, nullptr, planes);
        }
      }
    }
  }

  template <bool kTimesActivation>
  static void decode_unit(const typename F::Block& block, int j0, const C* x, C* const* planes) {
    if constexpr (kUnit == F::kBlock) j0 = 0;
#pragma GCC unroll 2
    for (int h = 0; h < (kHalves ? 2 : 1); ++h) {
      C* dst = planes[h];
#pragma GCC unroll 64
      for (int i = 0; i < kSegment; ++i) {
        const C value = M::template lane_value<A>(block, j0 + h * kSegment + i);
        dst[i] = kTimesActivation ? A::mul(value, x[h * kSegment + i]) : value;
      }
    }
  }

  // products[i] = values[i] * x[i] over the planes of `units` units.
  static void multiply(const Planes& values, const Planes& x, int units, Planes& products) {
    const int n = units * kSegment;
    for (int h = 0; h < (kHalves ? 2 : 1); ++h) {
      for (int i = 0; i < n; ++i) products.p[h][i] = A::mul(values.p[h][i], x.p[h][i]);
    }
  }

  // s[l] += lane l's terms in its order (first plane, then second, for each position).
  static void lane_sums(const Planes& terms, int lanes, C* s) {
    for (int l = 0; l < lanes; ++l) {
      C a = s[l];
#pragma GCC unroll 16
      for (int t = 0; t < kRun; ++t) {
        a = A::add(a, terms.p[0][l * kRun + t]);
        if constexpr (kHalves) a = A::add(a, terms.p[1][l * kRun + t]);
      }
      s[l] = a;
    }
  }

  static void reduce(C* v) { tree_sum<A, W>(v); }
};

// Work-group g of a matrix-vector launch: rows R*g .. R*g + R - 1 of y = W x.
template <class M, class T, int W, int R>
void matvec_group(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K, int64_t N, int64_t g) {
  using L = Lanes<M, T, W>;
  using A = typename L::A;
  using C = typename L::C;
  const int64_t row0 = R * g;
  const int rows = static_cast<int>(std::min<int64_t>(R, N - row0));
  C acc[R][W] = {};
  typename L::Planes xs, products;
  typename L::Params params[L::kUnits];
  C s[W], sx[W] = {}, widened[L::kStep];
  for (int step = 0, steps = L::steps(K); step < steps; ++step) {
    const int lanes = L::active_lanes(K, step);
    const int units = lanes / L::kLanesPerUnit;
    const C* x_step = L::step_activations(x, int64_t(step) * L::kStep, units * L::kUnit, widened);
    if constexpr (M::kNeedsActivationSums) {
      L::activation_planes(x_step, units, xs);
      std::fill(sx, sx + lanes, C(0));
      L::lane_sums(xs, lanes, sx);
    }
    for (int r = 0; r < rows; ++r) {
      L::decode(packed, (row0 + r) * K + int64_t(step) * L::kStep, units, x_step, products, params);
      std::fill(s, s + lanes, C(0));
      L::lane_sums(products, lanes, s);
      for (int l = 0; l < lanes; ++l) acc[r][l] = params[l / L::kLanesPerUnit].combine(acc[r][l], s[l], sx[l]);
    }
  }
  for (int r = 0; r < rows; ++r) {
    L::reduce(acc[r]);
    y[row0 + r] = A::store(acc[r][0]);
  }
}

// Work-group (gb, gn) of a by-batch launch: output rows 2*gn, 2*gn + 1 for activation rows
// 2*gb, 2*gb + 1. Each decoded weight (in T) is multiplied by the activation of each row and
// added straight into that row's accumulator.
template <class M, class T, int W>
void matvec_by_batch_group(const formats::Packed<typename M::F>& packed, const T* x, T* y, int64_t K, int64_t N,
                           int64_t B, int64_t gb, int64_t gn) {
  static_assert(M::kValue == LaneValue::decoded, "by-batch members multiply decoded weights");
  using L = Lanes<M, T, W>;
  using A = typename L::A;
  using C = typename L::C;
  const int64_t b0 = 2 * gb, row0 = 2 * gn;
  const int batch_rows = static_cast<int>(std::min<int64_t>(2, B - b0));
  const int rows = static_cast<int>(std::min<int64_t>(2, N - row0));
  if (batch_rows <= 0) return;
  C acc[2][2][W] = {};
  typename L::Planes xs[2], weights, products;
  typename L::Params params[L::kUnits];
  C widened[L::kStep];
  for (int step = 0, steps = L::steps(K); step < steps; ++step) {
    const int lanes = L::active_lanes(K, step);
    const int units = lanes / L::kLanesPerUnit;
    for (int bi = 0; bi < batch_rows; ++bi) {
      const int64_t first = (b0 + bi) * K + int64_t(step) * L::kStep;
      L::activation_planes(L::step_activations(x, first, units * L::kUnit, widened), units, xs[bi]);
    }
    for (int r = 0; r < rows; ++r) {
      L::decode(packed, (row0 + r) * K + int64_t(step) * L::kStep, units, nullptr, weights, params);
      for (int bi = 0; bi < batch_rows; ++bi) {
        L::multiply(weights, xs[bi], units, products);
        L::lane_sums(products, lanes, acc[bi][r]);
      }
    }
  }
  for (int bi = 0; bi < batch_rows; ++bi) {
    for (int r = 0; r < rows; ++r) {
      L::reduce(acc[bi][r]);
      y[(b0 + bi) * N + row0 + r] = A::store(acc[bi][r][0]);
    }
  }
}

// Launches the matrix-vector kernel `name` of member M: ceil(N / R) work-groups of W.
template <class M, class T, int SG, int W, int R>
void matvec_kernel(const char* name, const uint8_t* weight, const T* x, T* y, int64_t K, int64_t N,
                   const c10::Device& device) {
  check_state_size<M>(K);
  const formats::Packed<typename M::F> packed(weight, static_cast<int32_t>(N * K));
  const int64_t groups = (N + R - 1) / R;
  hostxpu::kernel_desc desc{name, hostxpu::nd_range(groups * W, W), SG, sizeof(T) * R * W};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          if constexpr (WordLanes<M>::kEnabled && !std::is_same_v<T, double>) {
            word_lane_group<M, T, W, R>(packed, x, y, K, N, g);
          } else {
            matvec_group<M, T, W, R>(packed, x, y, K, N, static_cast<int64_t>(g.linear_id));
          }
        });
      },
      device, name);
}

// Launches the by-batch kernel `name` of member M over B activation rows: dimension 0 pairs
// of activation rows, dimension 1 pairs of output rows.
template <class M, class T, int SG, int W>
void matvec_by_batch_kernel(const char* name, const uint8_t* weight, const T* x, T* y, int64_t K, int64_t N,
                            int64_t B, const c10::Device& device) {
  check_state_size<M>(K);
  const formats::Packed<typename M::F> packed(weight, static_cast<int32_t>(N * K));
  const size_t pairs = static_cast<size_t>((B + 1) / 2), groups = static_cast<size_t>((N + 1) / 2);
  hostxpu::kernel_desc desc{name, hostxpu::nd_range(std::array<size_t, 2>{pairs, groups * W}, std::array<size_t, 2>{1, W}), SG, sizeof(T) * 2 * 2 * W};
  common_utils::submit_kernel(
      [&](hostxpu::handler& h) {
        h.parallel_for(desc, [&](const hostxpu::work_group& g) {
          matvec_by_batch_group<M, T, W>(packed, x, y, K, N, B, static_cast<int64_t>(g.id[0]),
                                         static_cast<int64_t>(g.id[1]));
        });
      },
      device, name);
}

// The named kernels: qlinear_xpu_kernel_<member><T, SG, W[, R]>(weight, x, y, K, N, device).
#define VORN_MATVEC_KERNEL_R(name, M)                                                            \
  template <class T, int SG, int W, int R>                                                       \
  void name(const uint8_t* weight, const T* x, T* y, int64_t K, int64_t N, const c10::Device& d) { \
    matvec_kernel<members::M, T, SG, W, R>(#name, weight, x, y, K, N, d);                        \
  }
#define VORN_MATVEC_KERNEL(name, M, R)                                                           \
  template <class T, int SG, int W>                                                              \
  void name(const uint8_t* weight, const T* x, T* y, int64_t K, int64_t N, const c10::Device& d) { \
    matvec_kernel<members::M, T, SG, W, R>(#name, weight, x, y, K, N, d);                        \
  }
#define VORN_MATVEC_BY_BATCH_KERNEL(name, M)                                                         \
  template <class T, int SG, int W>                                                                  \
  void name(const uint8_t* weight, const T* x, T* y, int64_t K, int64_t N, int64_t B,                \
            const c10::Device& d) {                                                                  \
    matvec_by_batch_kernel<members::M, T, SG, W>(#name, weight, x, y, K, N, B, d);                   \
  }

VORN_MATVEC_KERNEL_R(qlinear_xpu_kernel_q4_0_2x16, Q4_0)
VORN_MATVEC_KERNEL_R(qlinear_xpu_kernel_q4_0_woq_2x16, Q4_0Woq)
VORN_MATVEC_KERNEL_R(qlinear_xpu_kernel_fp6_2x16, Fp6)
VORN_MATVEC_KERNEL_R(qlinear_xpu_kernel_fp6_k_2x16, Fp6K)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_q4_1_2x16, Q4_1, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_nf4_2x16, Nf4, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_nf3_2x16, Nf3, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_fp4_2x16, Fp4, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_q8_0_2x8, Q8_0, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_fp8_e4m3_2x8, Fp8E4m3, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_fp8_e5m2_2x8, Fp8E5m2, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_q4_k_2x16, Q4K, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_q6_k_2x16, Q6K, 2)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_q5_0, Q5_0, 1)
VORN_MATVEC_KERNEL(qlinear_xpu_kernel_q5_1, Q5_1, 1)
VORN_MATVEC_BY_BATCH_KERNEL(qlinear_xpu_kernel_q4_0_2x16_by_batch, Q4_0ByBatch)
VORN_MATVEC_BY_BATCH_KERNEL(qlinear_xpu_kernel_nf4_2x16_batch, Nf4ByBatch)

#undef VORN_MATVEC_KERNEL_R
#undef VORN_MATVEC_KERNEL
#undef VORN_MATVEC_BY_BATCH_KERNEL

}  // namespace vorn::kernels
