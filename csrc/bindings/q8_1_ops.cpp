// Probes of the q8_1 path (namespace vorn_host): the four k- and i-format forwards by qtype, with
// the sizes derived from the tensors as the linear dispatch derives them, and the q8_1
// quantization of an activation matrix as its packed block bytes.

#include <ATen/ATen.h>
#include <torch/library.h>

#include <memory>

#include "formats/qtype.h"
#include "linear/q8_1_forwards.h"
#include "linear/quantize_row_q8_1.h"
#include "platform/pytorch/backend.h"

namespace {

namespace fmt = vorn::formats;

at::Tensor q8_1_forward(const at::Tensor& input, const at::Tensor& weight, int64_t qtype) {
  TORCH_CHECK(input.dim() == 2, "q8_1_forward: input must be a [batch, K] matrix, got ", input.sizes());
  const int64_t batch = input.size(0), K = input.size(1);
  TORCH_CHECK(K > 0, "q8_1_forward: in_features (K) must be positive");
  const auto forward = [&](auto fn, int code) {
    const int64_t N = weight.numel() / static_cast<int64_t>(fmt::GGML_TYPE_SIZE[code]) * fmt::GGML_BLCK_SIZE[code] / K;
    return fn(input, weight, batch, K, N);
  };
  switch (qtype) {
    case fmt::qtype::iq2_xxs: return forward(xpu_forward_iq2_xxs, fmt::qtype::iq2_xxs);
    case fmt::qtype::q2_k: return forward(xpu_forward_q2_k, fmt::qtype::q2_k);
    case fmt::qtype::iq1_s: return forward(xpu_forward_iq1_s, fmt::qtype::iq1_s);
    case fmt::qtype::q5_k: return forward(xpu_forward_q5_k, fmt::qtype::q5_k);
  }
  TORCH_CHECK(false, "q8_1_forward serves q2_k, iq2_xxs, iq1_s and q5_k; ",
              fmt::unsupported_qtype_message(static_cast<int>(qtype)));
}

at::Tensor quantize_activations_q8_1(const at::Tensor& input) {
  TORCH_CHECK(input.dim() == 2, "quantize_row_q8_1: input must be a [rows, K] matrix, got ", input.sizes());
  return quantize_row_q8_1(input, input.size(0), input.size(1));
}

struct Registration {
  std::unique_ptr<torch::Library> library, xpu_kernels;
  Registration() {
    if (!hostxpu::host_backend_enabled()) return;
    library = std::make_unique<torch::Library>(torch::Library::FRAGMENT, "vorn_host", std::nullopt, __FILE__,
                                               __LINE__);
    library->def("q8_1_forward(Tensor input, Tensor weight, int qtype) -> Tensor");
    library->def("quantize_row_q8_1(Tensor input) -> Tensor");
    xpu_kernels = std::make_unique<torch::Library>(torch::Library::IMPL, "vorn_host", c10::DispatchKey::XPU,
                                                   __FILE__, __LINE__);
    xpu_kernels->impl("q8_1_forward", TORCH_FN(q8_1_forward));
    xpu_kernels->impl("quantize_row_q8_1", TORCH_FN(quantize_activations_q8_1));
  }
} registration;

}  // namespace
