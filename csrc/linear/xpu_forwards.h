#pragma once
// The per-format linear forwards: y = input · Wᵀ for an activation [batch, K] and a packed
// weight of N rows. Batch 1 runs a matrix-vector kernel; other batches run the format's
// by-batch kernel, a dense product of the expanded weight, or the tiled product (forward_paths.h).
// Template values: required sub-group size SG, work-group size W and rows per work-group R of
// the matrix-vector kernels; SG also selects the dequantize kernels.

#include <ATen/core/Tensor.h>

#include <cstdint>

#define VORN_FORWARD_SIGNATURE \
  (const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N)

template <int SG, int W, int R>
at::Tensor xpu_forward_q4_0_new VORN_FORWARD_SIGNATURE;
template <int SG, int W, int R>
at::Tensor xpu_forward_q4_0_woq_new VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_q4_1_new VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_q5_0 VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_q5_1 VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_q8_0_new VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_nf4_new VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_nf3_new VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_fp8_e4m3 VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_fp4 VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_fp8_e5m2 VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_q6_k VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_q4_k VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_fp6 VORN_FORWARD_SIGNATURE;
template <int SG, int W>
at::Tensor xpu_forward_fp6_k VORN_FORWARD_SIGNATURE;

#undef VORN_FORWARD_SIGNATURE
