#pragma once
// The two checking wrappers of the entry surface: device and layout checks, a profiler
// record, then the dequantize worker.

#include <ATen/core/Tensor.h>

at::Tensor dequant(const at::Tensor& input, const at::Tensor& weight, int64_t qtype);
at::Tensor dequantize_rows(const at::Tensor& input, const at::Tensor& weight, int64_t qtype,
                           int64_t state_size, int64_t output_size);
