#pragma once

#include <ATen/core/Tensor.h>

#include "device/gpu_type.h"

// input · weightᵀ without bias, in the tensors' element type: the dense product of the
// dequantize-then-multiply paths. The class argument has no effect.
at::Tensor run_linear(const at::Tensor& input, const at::Tensor& weight, GpuType gpu);
