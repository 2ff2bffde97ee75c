#pragma once

#include <ATen/core/Tensor.h>

// Quantizes `input` to the FP8 type of `out` with one dynamic scale: scale[0] becomes
// max(scale[0], max|input| / FMAX) and out[i] the FP8 code of input[i] / scale[0], clamped to
// +-FMAX. Work is submitted to the current stream of `input`'s device.
void dynamic_scaled_fp8_quant(at::Tensor& out, const at::Tensor& input, at::Tensor& scale);
