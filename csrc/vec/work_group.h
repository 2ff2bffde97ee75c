#pragma once
// What every vector-path kernel does inside one work-group of L work-items: each work-item sums
// its share of the row products into lanes and halves them to one value per row
// (vec/lane_sums.h), and leaves it in local memory; after the barrier work-item 0 adds the
// values of work-items 1, 2, ... in that order to its own.

#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>

#include "vec/lane_sums.h"

namespace vorn::vec {

// The decoder of each qtype the vector kernels take.
template <int Q>
struct VecFormatOf;
template <> struct VecFormatOf<formats::qtype::q4_0> { using type = formats::Q4_0; };
template <> struct VecFormatOf<formats::qtype::q4_0_woq> { using type = formats::Q4_0Woq; };
template <> struct VecFormatOf<formats::qtype::fp8_e4m3> { using type = formats::Fp8E4m3; };
template <> struct VecFormatOf<formats::qtype::fp8_e5m2> { using type = formats::Fp8E5m2; };
template <> struct VecFormatOf<formats::qtype::moe_fp8_e5m2> { using type = formats::MoeFp8E5m2; };
template <> struct VecFormatOf<formats::qtype::moe_fp8_e4m3> { using type = formats::MoeFp8E4m3; };
template <int Q>
using VecFormat = typename VecFormatOf<Q>::type;

// A matrix of `blocks` 64-weight blocks at `weight`. Planar scale regions start after all codes,
// at an offset formed in 64 bits, so matrices of 2^31 weights and more are addressed too.
template <class F>
formats::Packed<F> vec_matrix(const uint8_t* weight, int64_t blocks) {
  formats::Packed<F> matrix(weight, 0);
  if constexpr (!std::is_same_v<typename F::Layout, formats::InterleavedLayout<64>>) {
    matrix.at.scale_region = matrix.at.codes(blocks);
  }
  return matrix;
}

// The row totals of one work-group of L work-items; the kStreams streams are kStreams / R
// matrices of R rows. Partial sums sit in local memory as [matrix][work-item][row] floats:
// linear (R = 4) the four row sums of work-item l at byte 16 l; MLP (R = 2) the gate sums at
// byte 8 l and the up sums at byte 32 + 8 l.
template <int R, int L, class F, class T>
void group_totals(WorkItems<F, T> items, float* local, float* totals) {
  static_assert(L <= kMaxLocalRange, "the lane sums hold this many work-items");
  float sums[L * kStreams];
  items.sums = sums;
  items.local_range = L;
  lane_sums(items);
  for (int l = 0; l < L; ++l) {
    for (int s = 0; s < kStreams; ++s) local[(s / R) * (L * R) + l * R + s % R] = sums[l * kStreams + s];
  }
  // Barrier: work-item 0 adds the others' sums to its own.
  for (int s = 0; s < kStreams; ++s) {
    float total = local[(s / R) * (L * R) + s % R];
    for (int l = 1; l < L; ++l) total += local[(s / R) * (L * R) + l * R + s % R];
    totals[s] = total;
  }
}

template <int L>
constexpr size_t kGroupLocalBytes = sizeof(float) * kStreams * L;

// SiLU(g) * u with exp(-g) as a base-2 exponential of g times -log2(e), in fp32.
inline float silu_times(float g, float u) { return (g * u) / (std::exp2(-1.4426950216293335f * g) + 1.0f); }

template <class T>
const char* element_name() {
  return sizeof(T) == 4 ? "float" : "half";
}

// "name<T, R, L, S, Q>", the kernel's name in the launch trace.
template <class T, int R, int L, int S, int Q>
std::string kernel_name(const char* name) {
  return std::string(name) + "<" + element_name<T>() + ", " + std::to_string(R) + ", " + std::to_string(L) + ", " +
         std::to_string(S) + ", " + std::to_string(Q) + ">";
}

}  // namespace vorn::vec
