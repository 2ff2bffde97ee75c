#pragma once
// Whole-weight dequantize functions of the explicit-SIMD kernel family: dequantize_<fmt>(weight,
// out) fills the caller's fp32 or fp16 matrix `out` with the weights of the packed stream, flat
// element j = weight j, and returns it.

#include <ATen/core/Tensor.h>

at::Tensor dequantize_q4_0(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_q4_1(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_fp4(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_q8_0(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_fp8_e4m3(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_fp8_e5m2(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_fp6(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_fp6_k(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_q4_k(const at::Tensor& weight, at::Tensor out);
at::Tensor dequantize_q6_k(const at::Tensor& weight, at::Tensor out);
