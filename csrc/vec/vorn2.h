#pragma once
// Device-level functions of the vector path: check qtype and element type, then launch one
// kernel for the single activation row of `input` into the caller's `output`.

#include <ATen/core/Tensor.h>

void linear_forward_vorn2(const at::Tensor& input, const at::Tensor& weight, const at::Tensor& output, int K, int N,
                          int qtype);
void mlp_forward_vorn2(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                       const at::Tensor& output, int K, int N, int qtype);
