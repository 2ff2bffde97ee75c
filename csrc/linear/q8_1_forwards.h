#pragma once
// Linear forwards of the 256-weight interleaved formats q2_k, iq2_xxs, iq1_s and q5_k, with the
// per-format forward signature (input [batch, K], packed weight, batch, K, N) -> [batch, N].
// Batch 1 runs a matrix-vector kernel (over q8_1 activations, except q5_k); other batch sizes
// expand the weight to a dense [N, K] matrix of the input's type and use a dense linear.

#include <ATen/core/Tensor.h>

#include <cstdint>

at::Tensor xpu_forward_q2_k(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N);
at::Tensor xpu_forward_iq2_xxs(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N);
at::Tensor xpu_forward_iq1_s(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N);
at::Tensor xpu_forward_q5_k(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K, int64_t N);
