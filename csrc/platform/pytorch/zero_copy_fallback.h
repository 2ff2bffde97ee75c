#pragma once
// The XPU fallback of every ATen operator without an XPU kernel of its own.

#include <ATen/core/dispatch/Dispatcher.h>
#include <ATen/core/stack.h>

namespace hostxpu {

// Runs `op` on PyTorch's CPU kernel over CPU aliases of the xpu tensors among its arguments
// (no copies), and puts xpu tensors back among its results. Kernels of our own namespaces are
// refused: reaching the fallback means they have no XPU kernel.
void zero_copy_fallback(const c10::OperatorHandle& op, torch::jit::Stack* stack);

}  // namespace hostxpu
