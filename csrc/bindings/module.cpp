// The Python module vorn_linear: its functions, in the order they are added to the module.

#include <torch/extension.h>

#include <string>

#include "bindings/dequant_wrappers.h"
#include "bindings/interpreter_check.h"
#include "device/gpu_type.h"
#include "fp8/dynamic_scaled_fp8_quant.h"
#include "gemm/fp8_linear.h"
#include "linear/linear_dispatch.h"
#include "mlp/mlp_forward.h"
#include "platform/pytorch/backend.h"
#include "rwkv/rwkv.h"
#include "vec/moe_api.h"
#include "vec/vec_api.h"

namespace py = pybind11;

namespace {

template <typename Fn>
void add_function(py::module_& m, const char* name, Fn&& fn, const char* doc) {
  m.add_object(name, py::cpp_function(std::forward<Fn>(fn), py::name(name), py::scope(m), doc),
               /*overwrite=*/true);
}

void add_functions(py::module_& m) {
  add_function(m, "forward_new", &linear_forward_api, "Linear forward");
  add_function(m, "dequant", &dequant, "Dequantize weight (XPU)");
  add_function(m, "mlp_forward_xpu", &mlp_forward_xpu, "fused mlp");
  add_function(m, "rwkv_linear_attention_v4", &rwkv_linear_attention_v4, "rwkv v4 attention");
  add_function(m, "rwkv_linear_attention_v5", &rwkv_linear_attention_v5, "rwkv v5 attention");
  add_function(m, "rwkv_time_shift", &rwkv_time_shift, "rwkv time shift");
  add_function(m, "dequantize_rows", &dequantize_rows, "Dequantize rows of weight");
  add_function(m, "get_moe_indexes", &get_moe_indexes, "get moe indexes");
  add_function(m, "get_xpu_device_name", &get_xpu_device_name, "get xpu device name");
  add_function(m, "linear_forward_vec", &linear_forward_vec, "linear forward new");
  add_function(m, "mlp_forward_vec", &mlp_forward_vec, "mlp forward new");
  add_function(m, "moe_forward_vec", &moe_forward_vec, "moe forward");
  add_function(m, "moe_forward_vec_batch_fused_gate_up", &moe_forward_vec_batch_fused_gate_up,
               "moe forward for batch input");
  add_function(m, "moe_forward_vec_batch_fused_gate_up_fp8", &moe_forward_vec_batch_fused_gate_up_fp8,
               "moe forward for batch input");
  add_function(m, "dynamic_scaled_fp8_quant", &dynamic_scaled_fp8_quant, "dynamic_scaled_fp8_quant");
  add_function(m, "run_linear_fp8", &run_linear_fp8, "fp8 linear forward");
}

void prepare(py::module_& m) {
  // Tensor arguments need torch's Python types; xpu tensors need the torch.xpu answers of the
  // host platform.
  py::module_::import("torch");
  if (!hostxpu::host_backend_enabled()) {
    throw std::runtime_error(
        "vorn_linear runs its XPU kernels on the host and cannot load into a PyTorch build that "
        "has its own XPU backend");
  }
  py::module_::import("vorn._startup").attr("run")();
  add_functions(m);
}

const std::string kBuiltFor = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_vorn_linear() {
  const std::string mismatch = interpreter_mismatch(kBuiltFor, Py_GetVersion());
  if (!mismatch.empty()) {
    PyErr_SetString(PyExc_ImportError, mismatch.c_str());
    return nullptr;
  }
  PYBIND11_ENSURE_INTERNALS_READY
  static PyModuleDef definition{};
  auto m = py::module_::create_extension_module("vorn_linear", nullptr, &definition);
  try {
    prepare(m);
    return m.release().ptr();
  } catch (py::error_already_set& e) {
    py::raise_from(e, PyExc_ImportError, "initialization failed");
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return nullptr;
}
