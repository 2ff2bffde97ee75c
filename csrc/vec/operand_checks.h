#pragma once
// Checks of the vector-path entries beyond qtype and dtype: they keep every kernel inside the
// tensors it was given (the kernels themselves take raw pointers and trust their sizes).

#include <ATen/core/Tensor.h>

#include <cstdint>

namespace vorn::vec {

// K is the activation row length the kernels read; they address whole 64-weight blocks.
void check_in_features(int64_t K);

// `name` is an xpu tensor on `device` that is contiguous and holds at least `elements` elements.
void check_operand(const at::Tensor& tensor, const char* name, const c10::Device& device, int64_t elements);

// `name` is a packed planar weight of `qtype` on `device` with the bytes of an [N, K] matrix.
void check_planar_weight(const at::Tensor& weight, const char* name, const c10::Device& device, int qtype, int64_t N,
                         int64_t K);

}  // namespace vorn::vec
