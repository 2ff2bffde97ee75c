#pragma once

#include <ATen/core/Tensor.h>

// act(input . weight1^T) * (input . weight2^T) for every input row, both weights packed in
// `qtype`: SiLU for act_type 0, the tanh form of GELU for any other value.
at::Tensor mlp_forward_xpu(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                           int64_t batch_size, int64_t state_size, int64_t output_size, int64_t act_type,
                           int64_t qtype);
