#pragma once
// The roads of the per-format linear forwards: the checks they share, the element-type switch,
// the matrix-vector launch, the dense product of an expanded weight, the tiled product, and the
// environment that steers tiling (read on every call that reaches it).

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>
#include <ATen/TensorIndexing.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <cstdint>

#include "device/gpu_type.h"
#include "gemm/run_linear.h"

namespace vorn::linear {

// Rejects what would take a kernel outside the tensors: an input other than a [batch, K] xpu
// tensor, a weight that is not a contiguous uint8 xpu tensor on the input's device, or one
// too short for N rows of `qtype`. For batch 1 it first checks K against the matrix-vector
// kernel's SUB_BLK_H (`sub_block`, 0 for none). Returns the input, contiguous.
at::Tensor checked_input(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                         int64_t N, int qtype, int sub_block);

// TILE_THRESHOLD (std::stoll, default 50000), TILE_SIZE (std::stoull, default 4096) and
// LUMORA_LOW_MEM (std::stoll, on when 1).
int64_t tile_threshold();
uint64_t tile_size();
bool low_memory();

// Blocks of 64 weights in an [N, K] matrix, from the product held in 32 bits.
inline int64_t blocks_of_64(int64_t N, int64_t K) { return static_cast<int32_t>(N * K) / 64; }

// The explicit-SIMD dequantize functions expand into fp32 and fp16 only.
inline bool explicit_simd_type(const at::Tensor& input) {
  return input.scalar_type() == at::kFloat || input.scalar_type() == at::kHalf;
}

[[noreturn]] void unsupported_input_dtype();

// Calls fn(T{}) for the element type `type` (double, float, c10::Half, c10::BFloat16).
template <class Fn>
void switch_element_type(at::ScalarType type, Fn&& fn) {
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, type, "qlinear_forward_xpu", [&] { fn(scalar_t{}); });
}

// A new [rows, N] output filled by kernel(T{}, weight bytes, x, y).
template <class Kernel>
at::Tensor matvec_forward(const at::Tensor& x, const at::Tensor& weight, int64_t rows, int64_t N, Kernel&& kernel) {
  at::Tensor out = at::empty({rows, N}, x.options());
  switch_element_type(x.scalar_type(), [&](auto tag) {
    using T = decltype(tag);
    kernel(tag, weight.const_data_ptr<uint8_t>(), x.const_data_ptr<T>(), out.mutable_data_ptr<T>());
  });
  return out;
}

// A new [rows, K] tensor of the input's type, filled by expand(T{}, weight bytes, out).
template <class Expand>
at::Tensor expanded(const at::Tensor& x, const at::Tensor& weight, int64_t rows, int64_t K, Expand&& expand) {
  at::Tensor out = at::empty({rows, K}, x.options());
  switch_element_type(x.scalar_type(), [&](auto tag) {
    using T = decltype(tag);
    expand(tag, weight.const_data_ptr<uint8_t>(), out.mutable_data_ptr<T>());
  });
  return out;
}

// The tiled product: weight rows start .. start + rows - 1 expanded by tile(T{}, weight, out,
// rows, start) into a [rows, K] tile, multiplied (by run_linear, or at::linear), and written
// into columns start .. start + rows - 1 of the [batch, N] output.
template <class Tile>
at::Tensor tiled_forward(const at::Tensor& x, const at::Tensor& weight, int64_t K, int64_t N, uint64_t rows_per_tile,
                         bool by_run_linear, GpuType gpu, Tile&& tile) {
  using at::indexing::Slice;
  at::Tensor out = at::empty({x.size(0), N}, x.options());
  if (N == 0) return out;
  TORCH_CHECK(rows_per_tile > 0, "TILE_SIZE must be at least 1");
  for (int64_t start = 0; start < N;) {
    const int64_t rows = static_cast<int64_t>(std::min<uint64_t>(rows_per_tile, static_cast<uint64_t>(N - start)));
    at::Tensor dense = expanded(x, weight, rows, K, [&](auto tag, const uint8_t* w, auto* t) {
      tile(tag, w, t, rows, start);
    });
    at::Tensor part = by_run_linear ? run_linear(x, dense, gpu) : at::linear(x, dense);
    out.index_put_({Slice(), Slice(start, start + rows)}, part);
    start += rows;
  }
  return out;
}

}  // namespace vorn::linear
