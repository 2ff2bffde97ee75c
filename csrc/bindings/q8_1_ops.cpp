// Probes of the q8_1 path (namespace vorn_host): the four k- and i-format forwards by qtype, with
// the sizes derived from the tensors as the linear dispatch derives them, the q8_1 quantization
// of an activation matrix as its packed block bytes, and one slice's vec_dot.

#include <ATen/ATen.h>
#include <torch/library.h>

#include <memory>

#include "formats/qtype.h"
#include "linear/q8_1_forwards.h"
#include "linear/quantize_row_q8_1.h"
#include "linear/vec_dot_q8_1.h"
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

// vec_dot_<format>_q8_1(block, q8, iqs) of one weight super-block and the 8 block_q8_1 after it.
double vec_dot_q8_1(const at::Tensor& block, const at::Tensor& q8, int64_t qtype, int64_t iqs) {
  namespace kn = vorn::kernels;
  TORCH_CHECK(
      block.scalar_type() == at::kByte && block.is_contiguous() && q8.scalar_type() == at::kByte && q8.is_contiguous(),
      "vec_dot_q8_1 takes contiguous uint8 tensors");
  TORCH_CHECK(q8.numel() >= 8 * static_cast<int64_t>(sizeof(kn::block_q8_1)), "q8 must hold 8 block_q8_1 (",
              8 * sizeof(kn::block_q8_1), " bytes), got ", q8.numel());
  const int code = static_cast<int>(qtype);
  TORCH_CHECK(code == fmt::qtype::q2_k || code == fmt::qtype::iq2_xxs || code == fmt::qtype::iq1_s,
              "vec_dot_q8_1 serves q2_k, iq2_xxs and iq1_s; ", fmt::unsupported_qtype_message(code));
  TORCH_CHECK(block.numel() >= static_cast<int64_t>(fmt::GGML_TYPE_SIZE[code]), "block must hold one ",
              fmt::qtype_name(code), " super-block (", fmt::GGML_TYPE_SIZE[code], " bytes), got ", block.numel());
  const int slices = code == fmt::qtype::q2_k ? 16 : 8;
  TORCH_CHECK(iqs >= 0 && iqs < slices, "iqs must lie in 0..", slices - 1, ", got ", iqs);
  // A host function: it reads host copies of the two buffers.
  const at::Tensor q8_host = q8.cpu(), block_host = block.cpu();
  const auto* y = reinterpret_cast<const kn::block_q8_1*>(q8_host.const_data_ptr<uint8_t>());
  const int slice = static_cast<int>(iqs);
  const uint8_t* w = block_host.const_data_ptr<uint8_t>();
  switch (code) {
    case fmt::qtype::q2_k: return kn::vec_dot_q2_k_q8_1(w, y, slice);
    case fmt::qtype::iq2_xxs: return kn::vec_dot_iq2_xxs_q8_1(w, y, slice);
    default: return kn::vec_dot_iq1_s_q8_1(w, y, slice);
  }
}

struct Registration {
  std::unique_ptr<torch::Library> library, xpu_kernels;
  Registration() {
    if (!hostxpu::host_backend_enabled()) return;
    library = std::make_unique<torch::Library>(torch::Library::FRAGMENT, "vorn_host", std::nullopt, __FILE__, __LINE__);
    library->def("q8_1_forward(Tensor input, Tensor weight, int qtype) -> Tensor");
    library->def("quantize_row_q8_1(Tensor input) -> Tensor");
    library->def("vec_dot_q8_1(Tensor block, Tensor q8, int qtype, int iqs) -> float");
    xpu_kernels =
        std::make_unique<torch::Library>(torch::Library::IMPL, "vorn_host", c10::DispatchKey::XPU, __FILE__, __LINE__);
    xpu_kernels->impl("q8_1_forward", TORCH_FN(q8_1_forward));
    xpu_kernels->impl("quantize_row_q8_1", TORCH_FN(quantize_activations_q8_1));
    xpu_kernels->impl("vec_dot_q8_1", TORCH_FN(vec_dot_q8_1));
  }
} registration;

}  // namespace
