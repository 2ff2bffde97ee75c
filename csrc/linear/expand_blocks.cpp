#include "linear/expand_blocks.h"

#include <c10/util/BFloat16.h>
#include <c10/util/Half.h>

#include <type_traits>
#include <utility>

#include "common/half_bits.h"
#include "common/vector_clones.h"
#include "formats/formats.h"
#include "linear/element_math.h"
#include "linear/lane_arith.h"

namespace vorn::kernels {
namespace {

// A's arithmetic on values held in a compute type C, each result rounded to A as A's own
// operators round it (the combine step of element_math.h), in a form whose loops vectorise.
template <class Compute, Compute (*Round)(Compute)>
struct RoundedLanes {
  using C = Compute;
  static C from(float v) { return Round(C(v)); }
  static C mul(C a, C b) { return Round(a * b); }
  static C add(C a, C b) { return Round(a + b); }
};

inline float unrounded(float v) { return v; }
inline double unrounded_double(double v) { return v; }

template <class A>
struct Lanes;
template <>
struct Lanes<float> : RoundedLanes<float, unrounded> {};
template <>
struct Lanes<double> : RoundedLanes<double, unrounded_double> {};
template <>
struct Lanes<c10::Half> : RoundedLanes<float, round_to_half> {};
template <>
struct Lanes<c10::BFloat16> : RoundedLanes<float, round_to_bf16> {};

// Stores a value of A's arithmetic as T: the 16-bit types take the bits of a value already
// rounded to them, the wide types hold it exactly.
inline void store(float* p, float v) { *p = v; }
inline void store(double* p, double v) { *p = v; }
inline void store(c10::Half* p, float v) { reinterpret_cast<uint16_t*>(p)[0] = exact_half_bits(v); }
inline void store(c10::BFloat16* p, float v) { reinterpret_cast<uint16_t*>(p)[0] = exact_bf16_bits(v); }

// Blocks with a bulk decoder fill all of a block's values at once; the others value by value.
template <class B, class = void>
struct HasBulkValues : std::false_type {};
template <class B>
struct HasBulkValues<B, std::void_t<decltype(std::declval<const B&>().values(static_cast<float*>(nullptr)))>>
    : std::true_type {};

template <class F>
void block_values(const typename F::Block& b, float* v) {
  if constexpr (HasBulkValues<typename F::Block>::value) {
    b.values(v);
  } else {
    for (int j = 0; j < F::kBlock; ++j) v[j] = float(b.value(j));
  }
}

}  // namespace

template <class F, class A, class T>
VORN_VECTOR_CLONES void expand_blocks(const formats::Packed<F>& packed, int64_t first, int64_t count, T* out) {
  static_assert(sizeof(T) >= sizeof(A) || std::is_same_v<A, T>, "16-bit outputs store their own arithmetic");
  using L = Lanes<A>;
  using C = typename L::C;
  using formats::Scaling;
  // Integer codes convert to every A exactly; codebook and float-code values are rounded to A.
  constexpr bool kIntegerValues = std::is_integral_v<decltype(std::declval<typename F::Block>().value(0))>;
  float values[F::kBlock];
  for (int64_t i = 0; i < count; ++i) {
    const auto block = packed.block(first + i);
    block_values<F>(block, values);
    T* dst = out + i * F::kBlock;
    for (int g = 0; g < F::kBlock / F::kGroup; ++g) {
      C scale{}, offset{};
      if constexpr (F::kScaling != Scaling::none) scale = L::from(block.scale(g));
      if constexpr (F::kScaling == Scaling::scale_offset) offset = L::from(block.offset(g));
      const float* v = values + g * F::kGroup;
      T* d = dst + g * F::kGroup;
      for (int j = 0; j < F::kGroup; ++j) {
        const C value = kIntegerValues ? C(v[j]) : L::from(v[j]);
        store(d + j, combined_weight<L, F>(value, scale, offset));
      }
    }
  }
}

#define VORN_EXPAND_BLOCKS(F, A, T) \
  template void expand_blocks<formats::F, A, T>(const formats::Packed<formats::F>&, int64_t, int64_t, T*);
// The dequantize kernel family: every format in each element type's own arithmetic.
#define VORN_EXPAND_FORMAT(F)                        \
  VORN_EXPAND_BLOCKS(F, float, float)                \
  VORN_EXPAND_BLOCKS(F, double, double)              \
  VORN_EXPAND_BLOCKS(F, c10::Half, c10::Half)        \
  VORN_EXPAND_BLOCKS(F, c10::BFloat16, c10::BFloat16)

VORN_EXPAND_FORMAT(Q4_0)
VORN_EXPAND_FORMAT(Q4_0Woq)
VORN_EXPAND_FORMAT(Q4_1)
VORN_EXPAND_FORMAT(Q5_0)
VORN_EXPAND_FORMAT(Q5_1)
VORN_EXPAND_FORMAT(Q8_0)
VORN_EXPAND_FORMAT(Nf4)
VORN_EXPAND_FORMAT(Nf3)
VORN_EXPAND_FORMAT(Fp4)
VORN_EXPAND_FORMAT(Fp8E4m3)
VORN_EXPAND_FORMAT(Fp8E5m2)
VORN_EXPAND_FORMAT(Fp6)
VORN_EXPAND_FORMAT(MoeFp8E5m2)
VORN_EXPAND_FORMAT(MoeFp8E4m3)
VORN_EXPAND_FORMAT(Q4K)
VORN_EXPAND_FORMAT(Q6K)
VORN_EXPAND_FORMAT(Q2K)
VORN_EXPAND_FORMAT(Q5K)
VORN_EXPAND_FORMAT(Iq2Xxs)
VORN_EXPAND_FORMAT(Iq1S)
VORN_EXPAND_FORMAT(Fp6K)

// The explicit-SIMD kernels that decode in fp16 for an fp32 output.
VORN_EXPAND_BLOCKS(Q4_0, c10::Half, float)
VORN_EXPAND_BLOCKS(Q4_1, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp4, c10::Half, float)
VORN_EXPAND_BLOCKS(Q8_0, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp8E4m3, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp8E5m2, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp6, c10::Half, float)
VORN_EXPAND_BLOCKS(Fp6K, c10::Half, float)

}  // namespace vorn::kernels
