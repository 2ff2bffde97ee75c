#pragma once
// Kernels of the dynamic per-tensor FP8 quantization: a max-magnitude reduction into the scale,
// then the scaled, clamped conversion. T is the input type (double, float, c10::BFloat16,
// c10::Half); F the FP8 type (c10::Float8_e5m2, c10::Float8_e4m3fn), whose float constructor
// is the round-to-nearest-even conversion.

#include <c10/util/BFloat16.h>
#include <c10/util/Float8_e4m3fn.h>
#include <c10/util/Float8_e5m2.h>
#include <c10/util/Half.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/atomic_max.h"
#include "platform/launch.h"

namespace fp8 {

template <typename F>
struct fp8_limits;

template <>
struct fp8_limits<c10::Float8_e4m3fn> {
  static constexpr float max = 448.0f;
  static constexpr float reciprocal = 0.0022321429569274187f;  // 1/448 in fp32
};

template <>
struct fp8_limits<c10::Float8_e5m2> {
  static constexpr float max = 57344.0f;
  static constexpr float reciprocal = 1.743861685099546e-05f;  // 1/57344 in fp32
};

constexpr size_t kBlockSize = 1024;

// scale[0] = max(scale[0], max|input| * reciprocal(F)).
template <typename T, typename F>
struct segmented_max_reduction {
  float* scale;
  const T* input;
  int64_t num_elems;

  static constexpr size_t kLocalMemoryBytes = kBlockSize * sizeof(float);

  void operator()(const hostxpu::work_group& g) const {
    float* cache = g.local_as<float>();
    const size_t local = g.local_size();
    const int64_t stride = static_cast<int64_t>(g.range->global[0]);
    for (size_t lid = 0; lid < local; ++lid) {
      float m = 0.0f;
      for (int64_t i = static_cast<int64_t>(g.linear_id * local + lid); i < num_elems; i += stride) {
        m = std::fmax(m, std::fabs(static_cast<float>(input[i])));
      }
      cache[lid] = m;
    }
    for (size_t h = local / 2; h != 0; h /= 2) {
      for (size_t lid = 0; lid < h; ++lid) {
        if (cache[lid + h] > cache[lid]) cache[lid] = cache[lid + h];
      }
    }
    common_utils::atomic_fetch_max(scale, cache[0] * fp8_limits<F>::reciprocal);
  }
};

// out[i] = F(clamp(input[i] / scale[0], -max, max)), four elements per step, then the tail.
template <typename T, typename F>
struct scaled_fp8_quant_kernel {
  F* out;
  const T* input;
  const float* scale;
  int64_t num_elems;

  static F convert(T x, float inv) {
    // fmin/fmax drop a NaN operand: 0 * inf (all-zero input, zero scale) becomes +max.
    float y = static_cast<float>(x) * inv;
    y = std::fmin(y, fp8_limits<F>::max);
    y = std::fmax(-fp8_limits<F>::max, y);
    return F(y);
  }

  void operator()(const hostxpu::work_group& g) const {
    const float inv = 1.0f / scale[0];
    const size_t local = g.local_size();
    const int64_t stride = static_cast<int64_t>(g.range->global[0]);
    const int64_t vectors = num_elems >> 2;
    const int64_t tail_begin = num_elems & ~int64_t{3};
    for (size_t lid = 0; lid < local; ++lid) {
      const int64_t gid = static_cast<int64_t>(g.linear_id * local + lid);
      for (int64_t v = gid; v < vectors; v += stride) {
        const T* in = input + 4 * v;
        F group[4] = {convert(in[0], inv), convert(in[1], inv), convert(in[2], inv), convert(in[3], inv)};
        for (int j = 0; j < 4; ++j) out[4 * v + j] = group[j];
      }
      for (int64_t i = tail_begin + gid; i < num_elems; i += stride) out[i] = convert(input[i], inv);
    }
  }
};

}  // namespace fp8
