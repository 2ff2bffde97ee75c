#include "linear/weight_checks.h"

#include <c10/util/Exception.h>

#include <limits>

#include "formats/qtype.h"

namespace vorn {

void check_packed_weight(const at::Tensor& weight, const char* name) {
  TORCH_CHECK(weight.scalar_type() == at::kByte && weight.dim() == 1, name,
              " must be a one-dimensional uint8 tensor of packed weights, got ", weight.scalar_type(),
              " of ", weight.dim(), " dimensions");
  TORCH_CHECK(weight.is_contiguous(), name, " must be contiguous");
  // The scale regions inside the bytes are read as fp16 and fp32 values, which need their alignment.
  TORCH_CHECK(reinterpret_cast<uintptr_t>(weight.const_data_ptr()) % 4 == 0, name,
              " must start at a 4-byte aligned address (its scales are read as 16- and 32-bit values), got ",
              weight.const_data_ptr());
}

int64_t packed_rows(const at::Tensor& weight, int qtype, int64_t K) {
  using namespace formats;
  TORCH_CHECK(qtype_has_format(qtype), unsupported_qtype_message(qtype));
  TORCH_CHECK(K > 0, "in_features (K) must be positive, got ", K);
  const int64_t blocks = weight.numel() / static_cast<int64_t>(GGML_TYPE_SIZE[qtype]);
  const int64_t rows = blocks * GGML_BLCK_SIZE[qtype] / K;
  TORCH_CHECK(!qtype_is_planar(qtype) || rows * K <= std::numeric_limits<int32_t>::max(),
              "a ", qtype_name(qtype), " weight of ", rows, " x ", K,
              " weights exceeds the 2^31 weights its 32-bit region offsets address");
  return rows;
}

}  // namespace vorn
