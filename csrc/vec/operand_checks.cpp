#include "vec/operand_checks.h"

#include <c10/util/Exception.h>

#include "formats/qtype.h"
#include "linear/weight_checks.h"

namespace vorn::vec {

void check_in_features(int64_t K) {
  TORCH_CHECK(K > 0 && K % 64 == 0, "in_features (K) must be a positive multiple of 64, got ", K);
}

void check_operand(const at::Tensor& tensor, const char* name, const c10::Device& device, int64_t elements) {
  TORCH_CHECK(tensor.is_xpu(), name, " must be a XPU tensor");
  TORCH_CHECK(tensor.device() == device, name, " must be on ", device, ", got ", tensor.device());
  TORCH_CHECK(tensor.is_contiguous(), name, " must be contiguous");
  TORCH_CHECK(tensor.numel() >= elements, name, " must hold at least ", elements, " elements, got ", tensor.numel());
}

void check_planar_weight(const at::Tensor& weight, const char* name, const c10::Device& device, int qtype, int64_t N,
                         int64_t K) {
  check_packed_weight(weight, name);
  TORCH_CHECK(N >= 0, "out_features (N) must not be negative, got ", N);
  const int64_t bytes = N * (K / formats::GGML_BLCK_SIZE[qtype]) * static_cast<int64_t>(formats::GGML_TYPE_SIZE[qtype]);
  check_operand(weight, name, device, 0);
  TORCH_CHECK(weight.numel() >= bytes, name, " holds ", weight.numel(), " bytes; a ", formats::qtype_name(qtype),
              " matrix of ", N, " x ", K, " weights needs ", bytes);
}

}  // namespace vorn::vec
