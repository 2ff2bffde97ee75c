#pragma once
// Linear layers with FP8 weights, multiplied by oneDNN's matmul.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <optional>

#include <oneapi/dnnl/dnnl.hpp>

#include "platform/stream.h"

// y = input . weight^T (+ bias) for an FP8 weight [n, k]; fp16 and bf16 inputs take the cached
// route with the per-tensor weight scale, fp32 inputs the uncached route with unit scales.
at::Tensor run_linear_fp8(at::Tensor input, at::Tensor weight, std::optional<at::Tensor> bias,
                          std::optional<at::Tensor> weight_scale_inv);

// Sets what every cached FP8 matmul needs: a user-managed scratchpad and one weight scale of
// the scale tensor's element type.
struct fp8_weight_scale_hook {
  const at::Tensor& scale;
  void operator()(dnnl::primitive_attr& attr) const;
};

void dnnl_matmul_w8a16_fp8(hostxpu::queue& queue, int64_t m, int64_t n, int64_t k, const at::Tensor& input,
                           const at::Tensor& weight, bool trans, const at::Tensor& output, const at::Tensor& scale,
                           const std::optional<at::Tensor>& bias, int64_t key);

void onednn_fp8_matmul(hostxpu::queue& queue, int64_t m, int64_t n, int64_t k, const at::Tensor& input,
                       const at::Tensor& weight, at::Tensor& output, const std::optional<at::Tensor>& bias);
