#pragma once

#include <ATen/core/Tensor.h>

// Gathers rows input[t] (int64 indices, the first d0*d1 of them) of a packed q2_k (23) or q4_k
// (27) weight of output_size rows and state_size columns into a new fp32 [d0, d1, state_size]
// tensor.
at::Tensor xpu_dequantize_rows(const at::Tensor& input, const at::Tensor& weight, int qtype,
                               int64_t state_size, int64_t output_size);
