// Compiled once per SIMD target (Highway's foreach_target re-includes this file).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vec/lane_sums.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/aligned_allocator.h>
#include <hwy/highway.h>

#include <new>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/half_bits.h"
#include "common/prefetch.h"
#include "vec/lane_sums.h"

HWY_BEFORE_NAMESPACE();
namespace vorn::vec {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::CappedTag<float, 16>;
using VF = hn::Vec<DF>;

// Targets with F16C convert to and from fp16 with round-to-nearest-even in hardware; Highway
// emulates the conversion elsewhere without that rounding, so those go lane by lane.
#undef VORN_VEC_F16C
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
#define VORN_VEC_F16C 1
#else
#define VORN_VEC_F16C 0
#endif

HWY_INLINE VF RoundToHalf(DF df, VF v) {
#if VORN_VEC_F16C
  const hn::Rebind<hwy::float16_t, DF> dh;
  return hn::PromoteTo(df, hn::DemoteTo(dh, v));
#else
  HWY_ALIGN float lanes[HWY_LANES(float)];
  hn::Store(v, df, lanes);
  for (size_t i = 0; i < hn::Lanes(df); ++i) lanes[i] = half_to_float(float_to_half(lanes[i]));
  return hn::Load(df, lanes);
#endif
}

// The activations of one run as fp32: fp32 rows are read in place, fp16 rows widened once
// for all streams.
HWY_INLINE const float* ActivationsF32(const float* x, int, float*) { return x; }

HWY_INLINE const float* ActivationsF32(const c10::Half* x, int count, float* buffer) {
  const DF df;
  const size_t N = hn::Lanes(df);
#if VORN_VEC_F16C
  const hn::Rebind<hwy::float16_t, DF> dh;
  const auto* bits = reinterpret_cast<const hwy::float16_t*>(x);
  for (int j = 0; j < count; j += N) hn::Store(hn::PromoteTo(df, hn::LoadU(dh, bits + j)), df, buffer + j);
#else
  (void)N;
  for (int j = 0; j < count; ++j) buffer[j] = half_to_float(x[j].x);
#endif
  return buffer;
}

HWY_INLINE VF HalfBitsToFloat(DF df, const uint16_t* bits) {
#if VORN_VEC_F16C
  const hn::Rebind<hwy::float16_t, DF> dh;
  return hn::PromoteTo(df, hn::LoadU(dh, reinterpret_cast<const hwy::float16_t*>(bits)));
#else
  HWY_ALIGN float lanes[HWY_LANES(float)];
  for (size_t i = 0; i < hn::Lanes(df); ++i) lanes[i] = half_to_float(bits[i]);
  return hn::Load(df, lanes);
#endif
}

// A stream's codes are prefetched 2 KiB ahead along its row and, past the row's end, into the row
// read next: the next stream's, or after the last stream the first stream's row of the next
// work-group (rows_per_group rows on).
inline constexpr int kStreamPrefetchDistance = 2048;

// The 4-bit codes of a 64-weight block of the planar layouts.
inline constexpr int kBlockCodeBytes = 32;

template <class F>
inline constexpr bool kIntegerCodes = std::is_same_v<F, formats::Q4_0> || std::is_same_v<F, formats::Q4_0Woq>;
template <class F>
inline constexpr bool kExpertScale =
    std::is_same_v<F, formats::MoeFp8E5m2> || std::is_same_v<F, formats::MoeFp8E4m3>;

// The 64 weights of a block in fp16 (see lane_sums.h), as fp32.
template <class F>
HWY_INLINE void DecodeBlock(const typename F::Block& b, float expert_scale, float* w) {
  const DF df;
  const size_t N = hn::Lanes(df);
  if constexpr (kIntegerCodes<F>) {
    const hn::Rebind<int8_t, DF> d8;
    const hn::Rebind<int32_t, DF> di;
    HWY_ALIGN int8_t values[64];
    b.values(values);
    const VF scale = hn::Set(df, b.d);
    for (size_t j = 0; j < 64; j += N) {
      const VF value = hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, values + j)));
      hn::Store(RoundToHalf(df, hn::Mul(value, scale)), df, w + j);
    }
  } else {
    HWY_ALIGN uint16_t bits[64];
    b.half_values(bits);
    if constexpr (F::kScaling == formats::Scaling::none && !kExpertScale<F>) {
      for (size_t j = 0; j < 64; j += N) hn::Store(HalfBitsToFloat(df, bits + j), df, w + j);
    } else {
      const float s = kExpertScale<F> ? expert_scale : half_to_float(float_to_half(b.scale(0)));
      const VF scale = hn::Set(df, s);
      for (size_t j = 0; j < 64; j += N) {
        hn::Store(RoundToHalf(df, hn::Mul(HalfBitsToFloat(df, bits + j), scale)), df, w + j);
      }
    }
  }
}

// The lanes of v halved pairwise down to one value: the lower half plus the upper half, again
// and again.
template <class D>
HWY_INLINE float HalveVector(D d, hn::Vec<D> v) {
#if HWY_TARGET != HWY_SCALAR  // (whose vectors have one lane and no halves)
  if constexpr (hn::MaxLanes(d) > 1) {
    const hn::Half<D> dh;
    return HalveVector(dh, hn::Add(hn::LowerHalf(dh, v), hn::UpperHalf(dh, v)));
  }
#endif
  return hn::GetLane(v);
}

// A stream's 64 lanes halved pairwise down to one value: lanes i and i + 32, then i and
// i + 16, and so on.
HWY_INLINE float HalveLanes(const float* lanes) {
  const DF df;
  constexpr int N = static_cast<int>(hn::MaxLanes(DF()));
  static_assert(kSumLanes % N == 0, "whole vectors of lanes");
  VF v[kSumLanes / N];
  for (int i = 0; i < kSumLanes / N; ++i) v[i] = hn::Load(df, lanes + i * N);
  for (int width = kSumLanes / N / 2; width >= 1; width /= 2) {
    for (int i = 0; i < width; ++i) v[i] = hn::Add(v[i], v[i + width]);
  }
  return HalveVector(df, v[0]);
}

#undef VORN_VEC_LOOKUP
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
// With 16 fp32 lanes the 16 weights a 4-bit block can hold fit one register, so each weight
// is a lane lookup by its code.
#define VORN_VEC_LOOKUP 1
#else
#define VORN_VEC_LOOKUP 0
#endif

// The value of each 4-bit code, from the format's decoder.
template <class F>
const float* CodeLevels() {
  struct Levels {
    HWY_ALIGN float value[16];
    Levels() {
      for (int c = 0; c < 16; ++c) value[c] = float(F::level(c));
    }
  };
  static const Levels levels;
  return levels.value;
}

template <class T>
HWY_INLINE VF Product(DF df, VF w, VF x) {
  if constexpr (sizeof(T) == 2) return RoundToHalf(df, hn::Mul(w, x));
  return hn::Mul(w, x);
}

#if VORN_VEC_LOOKUP
template <class Order>
constexpr bool NibblesInWeightOrder() {
  for (int q = 0; q < 64; ++q) {
    if (Order::weight_at(q) != q) return false;
  }
  return true;
}

// Nibble position q < 32 holds weight 2q, position 32 + q weight 2q + 1 (q4_0_woq).
template <class Order>
constexpr bool NibblesInPairOrder() {
  for (int q = 0; q < 64; ++q) {
    if (Order::weight_at(q) != 2 * (q % 32) + q / 32) return false;
  }
  return true;
}

// The fp16 scales of blocks blk .. blk + count - 1 (count <= 4), as fp32 at the returned
// address: one conversion for the run, and each block's scale then reaches its multiply as a
// broadcast from memory. (Moving a converted scale into a vector and broadcasting it there
// takes the shuffle unit the lookups need; the empty asm hides the values from the compiler,
// which would otherwise keep them in registers.)
template <class F>
HWY_INLINE const float* RunScales(const formats::Packed<F>& matrix, int64_t blk, int count, float* scales) {
  static_assert(F::Scales::kBytes == 2, "one fp16 scale per block, blocks' scales adjacent");
  const uint8_t* p = matrix.w + matrix.at.scales(blk);
  if (count == 4) {
    _mm_store_ps(scales, _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
  } else {
    for (int i = 0; i < count; ++i) scales[i] = _cvtsh_ss(formats::load_u16(p + 2 * i));
  }
  asm("" : "+r"(scales));
  return scales;
}

// Weights whose 4-bit codes sit in the low bits of each 32-bit index: vpermps reads only the
// low four bits of an index, so neither the low nibble nor a shifted high nibble is masked.
HWY_INLINE VF LookUp(VF weights, hn::Vec<hn::RebindToSigned<DF>> codes) {
  return VF{_mm512_permutexvar_ps(codes.raw, weights.raw)};
}

// The activation row as the lookups meet it, fp32: lane q of a stream accumulates the weight at
// nibble position q of each block, so where the nibble order is not the weight order (the pair
// order: the even and then the odd weights of each half) the activations are permuted to match.
// fp32 rows in weight order are read in place; the others are formed once per work-group.
template <class F, class T>
HWY_INLINE const float* LookupActivations(const WorkItems<F, T>& items) {
  using Order = typename F::Nibbles;
  const int count = 64 * items.blocks_per_row;
  if constexpr (std::is_same_v<T, float> && NibblesInWeightOrder<Order>()) {
    (void)count;
    return items.x;
  } else {
    // Aligned: the conversion stores whole vectors.
    thread_local hwy::AlignedFreeUniquePtr<float[]> buffer;
    thread_local int capacity = 0;
    if (capacity < count) {
      buffer = hwy::AllocateAligned<float>(count);
      if (!buffer) throw std::bad_alloc();
      capacity = count;
    }
    const float* x = ActivationsF32(items.x, count, buffer.get());
    if constexpr (!NibblesInWeightOrder<Order>()) {
      static_assert(NibblesInPairOrder<Order>(), "the permutation below is the pair order's");
      const DF df;
      for (int j = 0; j < count; j += 64) {
        const VF x0 = hn::LoadU(df, x + j), x1 = hn::LoadU(df, x + j + 16);
        const VF x2 = hn::LoadU(df, x + j + 32), x3 = hn::LoadU(df, x + j + 48);
        float* p = buffer.get() + j;
        hn::StoreU(hn::ConcatEven(df, x1, x0), df, p);
        hn::StoreU(hn::ConcatEven(df, x3, x2), df, p + 16);
        hn::StoreU(hn::ConcatOdd(df, x1, x0), df, p + 32);
        hn::StoreU(hn::ConcatOdd(df, x3, x2), df, p + 48);
      }
    }
    return buffer.get();
  }
}

// Adds the products of blocks first .. first + count - 1 of `matrix`, whose activations start at
// x, into one work-item's lanes of a stream (sums); `levels` holds the format's code levels.
template <class F, class T>
HWY_INLINE void AddBlocks(const formats::Packed<F>& matrix, int64_t first, int count, const float* x, VF levels,
                          VF (&sums)[4]) {
  const DF df;
  const hn::Rebind<uint8_t, DF> d8;
  const hn::RebindToSigned<DF> di;
  HWY_ALIGN float scale_memory[4];
  const float* scales = RunScales(matrix, first, count, scale_memory);
  const uint8_t* codes = matrix.w + matrix.at.codes(first);
  for (int i = 0; i < count; ++i) {
    const uint8_t* qs = codes + kBlockCodeBytes * i;
    const VF weights = RoundToHalf(df, hn::Mul(levels, hn::Set(df, scales[i])));
    const float* xb = x + 64 * i;
    for (int h = 0; h < 2; ++h) {
      const auto bytes = hn::PromoteTo(di, hn::LoadU(d8, qs + 16 * h));
      const VF w_low = LookUp(weights, bytes);
      const VF w_high = LookUp(weights, hn::ShiftRight<4>(bytes));
      sums[h] = hn::Add(sums[h], Product<T>(df, w_low, hn::LoadU(df, xb + 16 * h)));
      sums[2 + h] = hn::Add(sums[2 + h], Product<T>(df, w_high, hn::LoadU(df, xb + 32 + 16 * h)));
    }
  }
}

// The lanes of every work-item, stream by stream and, in a stream, work-item by work-item, each
// work-item's lanes in registers throughout: its runs are the chunks and then the tail blocks
// whose index is l modulo the local range, in order. (Taking the work-items' runs in memory
// order, every stream's in turn, kept the lanes in memory between runs: fp32 13% slower in the
// cache.) The first work-item's walk prefetches the stream's codes for all.
template <class F, class T>
HWY_INLINE void LookupLaneSums(const WorkItems<F, T>& items) {
  const DF df;
  const float* x = LookupActivations(items);
  const VF levels = hn::Load(df, CodeLevels<F>());
  const int L = items.local_range, steps = items.steps, blocks = items.blocks_per_row;
  const int64_t row_bytes = int64_t(blocks) * kBlockCodeBytes;
  const auto row_codes = [&](int s) { return items.matrix[s]->w + items.matrix[s]->at.codes(items.first_block[s]); };
  for (int s = 0; s < kStreams; ++s) {
    const formats::Packed<F>& matrix = *items.matrix[s];
    const int64_t first = items.first_block[s];
    const uint8_t* codes = row_codes(s);
    const uint8_t* next_row = s + 1 < kStreams ? row_codes(s + 1) : row_codes(0) + items.rows_per_group * row_bytes;
    const auto ahead = [&](int64_t b) {
      const int64_t at = kBlockCodeBytes * b + kStreamPrefetchDistance;
      return at < row_bytes ? codes + at : next_row + (at - row_bytes);
    };
    for (int l = 0; l < L; ++l) {
      VF sums[4] = {hn::Zero(df), hn::Zero(df), hn::Zero(df), hn::Zero(df)};
      for (int64_t c = l; c < steps; c += L) {
        if (l == 0) kernels::prefetch_ahead<kBlockCodeBytes * 4 * kMaxLocalRange, 0>(ahead(4 * c));
        AddBlocks<F, T>(matrix, first + 4 * c, 4, x + 256 * c, levels, sums);
      }
      for (int64_t b = 4 * int64_t(steps) + l; b < blocks; b += L) {
        AddBlocks<F, T>(matrix, first + b, 1, x + 64 * b, levels, sums);
      }
      HWY_ALIGN float lanes[kSumLanes];
      for (int v = 0; v < 4; ++v) hn::Store(sums[v], df, lanes + 16 * v);
      items.sums[l * kStreams + s] = HalveLanes(lanes);
    }
  }
}
#endif

// Adds the products of blocks b0 .. b0 + count - 1 of every stream into `lanes` ([stream][64]);
// `fresh` lanes are the work-item's first and start from zero.
template <class F, class T>
HWY_INLINE void AccumulateRun(const WorkItems<F, T>& items, int64_t b0, int count, bool fresh, float* lanes,
                              float* x_buffer, float* weights) {
  const DF df;
  const size_t N = hn::Lanes(df);
  const int elements = 64 * count;
  const float* x = ActivationsF32(items.x + 64 * b0, elements, x_buffer);
  for (int s = 0; s < kStreams; ++s) {
    for (int i = 0; i < count; ++i) {
      DecodeBlock<F>(items.matrix[s]->block(items.first_block[s] + b0 + i), items.expert_scale[s], weights + 64 * i);
    }
    float* stream_lanes = lanes + s * kSumLanes;
    for (size_t v = 0; v < kSumLanes; v += N) {
      VF sum = fresh ? hn::Zero(df) : hn::Load(df, stream_lanes + v);
      for (int j = v; j < elements; j += kSumLanes) {
        sum = hn::Add(sum, Product<T>(df, hn::Load(df, weights + j), hn::LoadU(df, x + j)));
      }
      hn::Store(sum, df, stream_lanes + v);
    }
  }
}

template <class F, class T>
HWY_INLINE void LaneSums(const WorkItems<F, T>& items) {
#if VORN_VEC_LOOKUP
  if constexpr (kIntegerCodes<F>) return LookupLaneSums(items);
#endif
  constexpr int kItemLanes = kStreams * kSumLanes;
  HWY_ALIGN float x_buffer[256];
  HWY_ALIGN float weights[256];
  const int L = items.local_range;
  HWY_ALIGN float lanes[kMaxLocalRange * kItemLanes];
  bool touched[kMaxLocalRange] = {};
  // The work-item of each run goes round 0, 1, .., L - 1: a counter, not a division per run.
  int item = 0;
  const auto run = [&](int64_t b0, int count) {
    AccumulateRun(items, b0, count, !touched[item], lanes + item * kItemLanes, x_buffer, weights);
    touched[item] = true;
    item = item + 1 == L ? 0 : item + 1;
  };
  for (int c = 0; c < items.steps; ++c) run(4 * c, 4);
  item = 0;
  for (int b = 4 * items.steps; b < items.blocks_per_row; ++b) run(b, 1);
  for (int l = 0; l < L; ++l) {
    for (int s = 0; s < kStreams; ++s) {
      const int i = l * kStreams + s;
      items.sums[i] = touched[l] ? HalveLanes(lanes + i * kSumLanes) : 0.0f;
    }
  }
}

#define VORN_VEC_DEFINE(F)                                                                   \
  void LaneSums##F##F32(const WorkItems<formats::F, float>& items) { LaneSums(items); }         \
  void LaneSums##F##F16(const WorkItems<formats::F, c10::Half>& items) { LaneSums(items); }
VORN_VEC_FORMATS(VORN_VEC_DEFINE)
#undef VORN_VEC_DEFINE

}  // namespace HWY_NAMESPACE
}  // namespace vorn::vec
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vorn::vec {

#define VORN_VEC_DISPATCH(F)                                                                          \
  HWY_EXPORT(LaneSums##F##F32);                                                                       \
  HWY_EXPORT(LaneSums##F##F16);                                                                       \
  void lane_sums(const WorkItems<formats::F, float>& items) { HWY_DYNAMIC_DISPATCH(LaneSums##F##F32)(items); } \
  void lane_sums(const WorkItems<formats::F, c10::Half>& items) { HWY_DYNAMIC_DISPATCH(LaneSums##F##F16)(items); }
VORN_VEC_FORMATS(VORN_VEC_DISPATCH)
#undef VORN_VEC_DISPATCH

}  // namespace vorn::vec
#endif
