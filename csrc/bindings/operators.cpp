// The operator library lumora: its schemas, and the entry registered as each one's XPU kernel.

#include <torch/library.h>

#include <memory>

#include "bindings/dequant_wrappers.h"
#include "gemm/fp8_linear.h"
#include "linear/linear_dispatch.h"
#include "mlp/mlp_forward.h"
#include "platform/pytorch/backend.h"
#include "rwkv/rwkv.h"

namespace {

constexpr const char* kSchemas[] = {
    "forward_new(Tensor input, Tensor weight, int qtype, int input_size) -> Tensor",
    "dequant(Tensor input, Tensor weight, int qtype) -> Tensor",
    "mlp_forward_xpu(Tensor input, Tensor weight1, Tensor weight2, int batch_size, int state_size, "
    "int output_size, int act_type, int qtype) -> Tensor",
    "rwkv_linear_attention_v4(Tensor time_decay, Tensor time_first, Tensor key, Tensor value, "
    "Tensor num_state, Tensor den_state, Tensor max_state) -> Tensor",
    "rwkv_linear_attention_v5(Tensor time_decay, Tensor time_first, Tensor receptance, Tensor key, "
    "Tensor value, Tensor state) -> Tensor",
    "rwkv_time_shift(Tensor hidden, Tensor shifted, Tensor mix) -> Tensor",
    "dequantize_rows(Tensor input, Tensor weight, int qtype, int state_size, int output_size) -> Tensor",
    "run_linear_fp8(Tensor input, Tensor weight, Tensor? bias, Tensor? weight_scale_inv) -> Tensor",
    // Declared only: its entry returns nothing and is reached through the Python module.
    "dynamic_scaled_fp8_quant(Tensor out, Tensor input, Tensor scale) -> Tensor",
};

void register_xpu_kernels(torch::Library& m) {
  m.impl("forward_new", TORCH_FN(linear_forward_api));
  m.impl("dequant", TORCH_FN(dequant));
  m.impl("mlp_forward_xpu", TORCH_FN(mlp_forward_xpu));
  m.impl("rwkv_linear_attention_v4", TORCH_FN(rwkv_linear_attention_v4));
  m.impl("rwkv_linear_attention_v5", TORCH_FN(rwkv_linear_attention_v5));
  m.impl("rwkv_time_shift", TORCH_FN(rwkv_time_shift));
  m.impl("dequantize_rows", TORCH_FN(dequantize_rows));
  m.impl("run_linear_fp8", TORCH_FN(run_linear_fp8));
  // dynamic_scaled_fp8_quant has no kernel: it is reached through the Python module only.
}

struct Registration {
  std::unique_ptr<torch::Library> fragment, xpu_kernels;
  Registration() {
    if (!hostxpu::host_backend_enabled()) return;
    fragment = std::make_unique<torch::Library>(torch::Library::FRAGMENT, "lumora", std::nullopt,
                                                __FILE__, __LINE__);
    for (const char* schema : kSchemas) fragment->def(schema);
    xpu_kernels = std::make_unique<torch::Library>(torch::Library::IMPL, "lumora", c10::DispatchKey::XPU,
                                                   __FILE__, __LINE__);
    register_xpu_kernels(*xpu_kernels);
  }
} registration;

}  // namespace
