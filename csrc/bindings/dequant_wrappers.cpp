#include "bindings/dequant_wrappers.h"

#include <ATen/record_function.h>
#include <c10/util/Exception.h>

#include "dequant/dequantize_rows.h"
#include "linear/xpu_dequant.h"

namespace {

void check_tensors(const at::Tensor& input, const at::Tensor& weight) {
  TORCH_CHECK(input.device().is_xpu(), "input must be a XPU tensor");
  TORCH_CHECK(input.is_contiguous(), "input must be contiguous");
  TORCH_CHECK(weight.device().is_xpu(), "weight must be a XPU tensor");
  TORCH_CHECK(weight.is_contiguous(), "weight must be contiguous");
}

}  // namespace

at::Tensor dequant(const at::Tensor& input, const at::Tensor& weight, int64_t qtype) {
  check_tensors(input, weight);
  RECORD_FUNCTION("kavrin_xpu_dequant", std::vector<c10::IValue>({weight}));
  return xpu_dequant(input, weight, static_cast<int>(qtype));
}

at::Tensor dequantize_rows(const at::Tensor& input, const at::Tensor& weight, int64_t qtype,
                           int64_t state_size, int64_t output_size) {
  check_tensors(input, weight);
  RECORD_FUNCTION("kavrin_dequantize_rows", std::vector<c10::IValue>({input}));
  return xpu_dequantize_rows(input, weight, static_cast<int>(qtype), state_size, output_size);
}
