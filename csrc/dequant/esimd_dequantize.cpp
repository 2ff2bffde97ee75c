#include "dequant/esimd_dequantize.h"

#include <c10/util/Exception.h>

#include <stdexcept>

#include "dequant/esimd_dequantize_kernels.h"
#include "linear/weight_checks.h"

namespace {

using vorn::kernels::esimd_dequantize_kernel;
namespace fmt = vorn::formats;
using half = c10::Half;

// The wrapper steps every format shares: sizes, element type, then one kernel launch. `A` is
// the decode arithmetic, void for "the output type".
template <class F, int N, class A>
at::Tensor dequantize_with(const char* kernel, const at::Tensor& weight, at::Tensor out) {
  const int64_t elements = out.size(0) * out.size(1);
  const bool fp32 = out.scalar_type() == at::kFloat;
  if (!fp32 && out.scalar_type() != at::kHalf) {
    throw std::runtime_error("unsupported dtype, only fp32 and fp16 are supported");
  }
  vorn::check_packed_weight(weight);
  TORCH_CHECK(out.is_contiguous() && out.device() == weight.device(),
              "out must be a contiguous tensor on the weight's device");
  TORCH_CHECK(elements % F::kBlock == 0, "out holds ", elements, " weights, not a whole number of ",
              F::kBlock, "-weight blocks");
  const int64_t count = elements / F::kBlock;
  const int64_t bytes = count * static_cast<int64_t>(fmt::GGML_TYPE_SIZE[F::kQtype]);
  TORCH_CHECK(weight.numel() >= bytes, "weight holds ", weight.numel(), " bytes; ", fmt::qtype_name(F::kQtype),
              " weights for out's ", elements, " elements need ", bytes);
  const uint8_t* w = weight.const_data_ptr<uint8_t>();
  if (fp32) {
    using Arith = std::conditional_t<std::is_void_v<A>, float, A>;
    esimd_dequantize_kernel<F, N, Arith>(kernel, w, out.mutable_data_ptr<float>(), count, weight.device());
  } else {
    esimd_dequantize_kernel<F, N, half>(kernel, w, out.mutable_data_ptr<half>(), count, weight.device());
  }
  return out;
}

}  // namespace

at::Tensor dequantize_q4_0(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Q4_0, 8, half>("dequantize_q4_0_kernel", weight, std::move(out));
}
at::Tensor dequantize_q4_1(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Q4_1, 8, half>("dequantize_q4_1_kernel", weight, std::move(out));
}
at::Tensor dequantize_fp4(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Fp4, 8, half>("dequantize_fp4_kernel", weight, std::move(out));
}
at::Tensor dequantize_q8_0(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Q8_0, 4, half>("dequantize_q8_0_kernel", weight, std::move(out));
}
at::Tensor dequantize_fp8_e4m3(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Fp8E4m3, 4, half>("dequantize_fp8_e4m3_kernel", weight, std::move(out));
}
// No scale: the stored block scales are never read.
at::Tensor dequantize_fp8_e5m2(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Fp8E5m2, 4, half>("dequantize_fp8_e5m2_kernel", weight, std::move(out));
}
at::Tensor dequantize_fp6(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Fp6, 8, half>("dequantize_fp6_kernel", weight, std::move(out));
}
at::Tensor dequantize_fp6_k(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Fp6K, 2, half>("dequantize_fp6_k_kernel", weight, std::move(out));
}
at::Tensor dequantize_q4_k(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Q4K, 2, void>("dequantize_q4_k_kernel", weight, std::move(out));
}
at::Tensor dequantize_q6_k(const at::Tensor& weight, at::Tensor out) {
  return dequantize_with<fmt::Q6K, 2, void>("dequantize_q6_k_kernel", weight, std::move(out));
}
