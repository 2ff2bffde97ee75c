#pragma once

#include <ATen/core/Tensor.h>

// Expands the packed weight of `qtype` into a new [N, K] tensor of input's element type, with
// K = input.size(1) and N derived from the weight's byte count.
at::Tensor xpu_dequant(const at::Tensor& input, const at::Tensor& weight, int qtype);
