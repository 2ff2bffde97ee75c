#pragma once
// forward_new: from the entry to the per-format forward of the weight's qtype.

#include <ATen/core/Tensor.h>

#include <cstdint>

// The entry of forward_new (Python function and lumora operator): y = input · Wᵀ for an
// input [batch, in_features] and a packed weight of `qtype`.
at::Tensor linear_forward_api(const at::Tensor& input, const at::Tensor& weight, int64_t qtype, int64_t input_size);

// True when forward_new takes the vector path: one input row, input_size a multiple of 4 and
// a q4_0 or q4_0_woq weight.
bool use_linear_forward_vec(int64_t batch, int64_t in_features, int64_t input_size, int qtype);

// Derives out_features from the weight's byte count, classifies the input's device and calls
// slot `qtype` of its class's table (forward_tables.h). input_size is not passed on.
at::Tensor linear_xpu_forward_new(const at::Tensor& input, const at::Tensor& weight, int qtype, int64_t input_size);
