#include "gemm/run_linear.h"

#include <ATen/ATen.h>

at::Tensor run_linear(const at::Tensor& input, const at::Tensor& weight, GpuType) { return at::linear(input, weight); }
