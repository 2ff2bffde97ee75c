#pragma once
// CPU views of xpu memory. An xpu tensor's memory is host memory, so a CPU tensor over the
// same bytes lets every CPU kernel of PyTorch work on it in place.

#include <ATen/core/Tensor.h>

namespace hostxpu {

// A CPU tensor aliasing `xpu_storage`, with `like`'s sizes, strides, offset, dtype and bits.
// The alias is a separate storage (a tensor takes its device from its storage) that keeps the
// xpu storage alive.
c10::Storage host_alias_storage(const c10::Storage& xpu_storage);
at::Tensor host_tensor_on(const c10::Storage& storage, const at::Tensor& like);

// The CPU alias of any tensor: an xpu tensor's alias, any other tensor itself.
at::Tensor host_view(const at::Tensor& tensor);

}  // namespace hostxpu
