#pragma once
// Entry functions of the vector path: one activation row times packed q4_0 / q4_0_woq weights.

#include <ATen/core/Tensor.h>

#include <cstdint>

// y = x W^T for the first row x of `input` (K = in_features values) and the [out_features, K]
// packed weight; returns [1, out_features] of input's dtype.
at::Tensor linear_forward_vec(const at::Tensor& input, const at::Tensor& weight, int64_t in_features,
                              int64_t out_features, int qtype);

// SiLU(x W1^T) * (x W2^T) for the first row x of `input`; returns [1, out_features].
at::Tensor mlp_forward_vec(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                           int64_t in_features, int64_t out_features, int qtype);
