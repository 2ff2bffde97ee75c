// Probes of the oneDNN layer (namespace vorn_host), for the tests and the bench: which engine,
// stream and cached primitive a call gets, what the type map answers, oneDNN's verbose switch.

#include <ATen/ATen.h>
#include <torch/library.h>

#include <memory>
#include <string>
#include <tuple>

#include <oneapi/dnnl/dnnl_debug.h>

#include "dnnl_utils/Runtime.h"
#include "dnnl_utils/dnnlUtils.h"
#include "gemm/int4_gemm.h"
#include "platform/pytorch/backend.h"

namespace {

thread_local int64_t probe_hook_calls = 0;

// Its own hook type, so the probe has caches of its own (the FP8 linear's are separate).
struct counting_hook {
  void operator()(dnnl::primitive_attr& attr) const {
    ++probe_hook_calls;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
  }
};

// (address of the cached primitive_ext, hook calls so far on this thread, weight type the
// matmul multiplies, matmul implementation).
std::tuple<int64_t, int64_t, std::string, std::string> matmul_primitive(int64_t dtypes, int64_t trans, int64_t bias,
                                                                        int64_t m, int64_t n, int64_t k, int64_t lda,
                                                                        int64_t ldb, int64_t ldc, int64_t device,
                                                                        int64_t key) {
  TORCH_CHECK(dtypes >= 6 && dtypes <= 9 && (trans == 0 || trans == 1) && bias >= 0 && bias <= 4,
              "matmul_primitive: dtypes 6..9, trans 0..1, bias 0..4");
  dnnl_utils::primitive_ext& p = dnnl_utils::dnnlMatmulCreatePrimitive(
      static_cast<dnnl_utils::joint_dtypes_t>(dtypes), static_cast<dnnl_utils::trans_type_t>(trans),
      static_cast<dnnl_utils::bias_type_t>(bias), static_cast<int>(m), static_cast<int>(n), static_cast<int>(k), lda,
      ldb, ldc, static_cast<int>(device), counting_hook{}, static_cast<int>(key), 0);
  const dnnl::matmul::primitive_desc& pd = p.plan().matmul;
  return {reinterpret_cast<int64_t>(&p), probe_hook_calls, dnnl_dt2str(static_cast<dnnl_data_type_t>(pd.weights_desc().get_data_type())),
          pd.impl_info_str()};
}

int64_t current_onednn_stream() {
  return reinterpret_cast<int64_t>(dnnl_utils::GpuStreamManager::Instance().get_stream().get());
}

int64_t current_onednn_engine() { return reinterpret_cast<int64_t>(dnnl_utils::current_engine().get()); }

std::string onednn_dtype(const at::Tensor& t) {
  return dnnl_dt2str(static_cast<dnnl_data_type_t>(dnnl_utils::get_onednn_dtype(t)));
}

// True when oneDNN allocated a buffer for a memory object made without a pointer.
bool onednn_allocates(int64_t nbytes) {
  const dnnl::memory::desc md({nbytes}, dnnl::memory::data_type::u8, dnnl::memory::format_tag::a);
  return dnnl_utils::dpcpp_onednn_memory(md, dnnl_utils::current_engine(), nullptr).get_data_handle() != nullptr;
}

// The int4 GEMM, which the linear dispatch reaches for q4_0_woq.
at::Tensor s4_gemm(const at::Tensor& input, const at::Tensor& weight) {
  return run_linear_woq(input, weight, get_gpu_type(weight.device()));
}

int64_t s4_gemm_scale_buffer(int64_t device) {
  return static_cast<int64_t>(s4_gemm_scale_buffer_bytes(static_cast<int>(device)));
}

bool onednn_verbose(int64_t level) { return dnnl_utils::set_onednn_verbose(static_cast<int>(level)); }

struct Registration {
  std::unique_ptr<torch::Library> library;
  Registration() {
    if (!hostxpu::host_backend_enabled()) return;
    library = std::make_unique<torch::Library>(torch::Library::FRAGMENT, "vorn_host", std::nullopt, __FILE__, __LINE__);
    library->def(
        "matmul_primitive(int dtypes, int trans, int bias, int m, int n, int k, int lda, int ldb, int ldc, "
        "int device, int key) -> (int, int, str, str)",
        &matmul_primitive);
    library->def("current_onednn_stream() -> int", &current_onednn_stream);
    library->def("current_onednn_engine() -> int", &current_onednn_engine);
    library->def("onednn_dtype(Tensor t) -> str", &onednn_dtype);
    library->def("onednn_allocates(int nbytes) -> bool", &onednn_allocates);
    library->def("onednn_verbose(int level) -> bool", &onednn_verbose);
    library->def("s4_gemm(Tensor input, Tensor weight) -> Tensor", &s4_gemm);
    library->def("s4_gemm_scale_buffer(int device) -> int", &s4_gemm_scale_buffer);
  }
} registration;

}  // namespace
