// Weight-format operators of the companion package (namespace vorn_host): the quantizer, and
// the explicit-SIMD dequantize functions, which the module itself does not expose.

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <torch/library.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "dequant/esimd_dequantize.h"
#include "formats/qtype.h"
#include "formats/quantize.h"
#include "platform/pytorch/backend.h"

namespace {

namespace fmt = vorn::formats;

// Packs a float [N, K] matrix into the bytes of `qtype`, on the matrix's device.
at::Tensor quantize(const at::Tensor& weight, int64_t qtype) {
  TORCH_CHECK(weight.dim() == 2 && weight.is_floating_point(), "quantize takes a floating-point [N, K] matrix");
  TORCH_CHECK(fmt::qtype_has_format(static_cast<int>(qtype)), fmt::unsupported_qtype_message(static_cast<int>(qtype)));
  const int64_t n = weight.size(0), k = weight.size(1);
  // The quantizer is host code: it packs a host copy of the matrix.
  at::Tensor values = at::empty({n, k}, at::kFloat);
  values.copy_(weight);
  at::Tensor packed = at::empty({fmt::packed_bytes(static_cast<int>(qtype), n, k)}, at::kByte);
  fmt::quantize(static_cast<int>(qtype), values.const_data_ptr<float>(), n, k, packed.mutable_data_ptr<uint8_t>(),
                [](int64_t rows, const fmt::RowRange& body) { at::parallel_for(0, rows, 1, body); });
  return packed.to(weight.device());
}

std::tuple<std::string, int64_t, int64_t> qtype_info(int64_t qtype) {
  TORCH_CHECK(qtype >= 0 && qtype < fmt::kQTypeCount, "qtype must lie in 0..", fmt::kQTypeCount - 1, ", got ", qtype);
  return {fmt::qtype_has_format(static_cast<int>(qtype)) ? fmt::qtype_name(static_cast<int>(qtype)) : "",
          fmt::GGML_BLCK_SIZE[qtype], static_cast<int64_t>(fmt::GGML_TYPE_SIZE[qtype])};
}

using DequantizeFunction = at::Tensor (*)(const at::Tensor&, at::Tensor);
const std::map<std::string, DequantizeFunction> kDequantizeFunctions = {
    {"q4_0", &dequantize_q4_0}, {"q4_1", &dequantize_q4_1},         {"fp4", &dequantize_fp4},
    {"q8_0", &dequantize_q8_0}, {"fp8_e4m3", &dequantize_fp8_e4m3}, {"fp8_e5m2", &dequantize_fp8_e5m2},
    {"fp6", &dequantize_fp6},   {"fp6_k", &dequantize_fp6_k},       {"q4_k", &dequantize_q4_k},
    {"q6_k", &dequantize_q6_k},
};

// dequantize_<format>(weight, out).
at::Tensor dequantize_into(const at::Tensor& weight, const at::Tensor& out, const std::string& format) {
  auto found = kDequantizeFunctions.find(format);
  TORCH_CHECK(found != kDequantizeFunctions.end(), "no dequantize function for format '", format, "'");
  TORCH_CHECK(out.dim() == 2, "out must be a matrix");
  return found->second(weight, out);
}

struct Registration {
  std::unique_ptr<torch::Library> library, xpu_kernels;
  Registration() {
    if (!hostxpu::host_backend_enabled()) return;
    library = std::make_unique<torch::Library>(torch::Library::FRAGMENT, "vorn_host", std::nullopt, __FILE__,
                                               __LINE__);
    library->def("qtype_info(int qtype) -> (str name, int block_size, int type_size)", &qtype_info);
    library->def("quantize(Tensor weight, int qtype) -> Tensor", &quantize);
    library->def("dequantize_into(Tensor weight, Tensor(a!) out, str format) -> Tensor(a!)");
    xpu_kernels = std::make_unique<torch::Library>(torch::Library::IMPL, "vorn_host", c10::DispatchKey::XPU,
                                                   __FILE__, __LINE__);
    xpu_kernels->impl("dequantize_into", TORCH_FN(dequantize_into));
  }
} registration;

}  // namespace
