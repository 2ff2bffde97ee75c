#include "linear/linear_dispatch.h"

#include <c10/util/Exception.h>

#include "device/gpu_type.h"
#include "formats/qtype.h"
#include "linear/forward_tables.h"
#include "vec/vec_api.h"

namespace qt = vorn::formats::qtype;

at::Tensor linear_forward_api(const at::Tensor& input, const at::Tensor& weight, int64_t qtype, int64_t input_size) {
  const int64_t batch = input.size(0), in_features = input.size(1);
  if (use_linear_forward_vec(batch, in_features, input_size, static_cast<int>(qtype))) {
    return linear_forward_vec(input, weight, in_features, input_size, static_cast<int>(qtype));
  }
  return linear_xpu_forward_new(input, weight, static_cast<int>(qtype), input_size);
}

bool use_linear_forward_vec(int64_t batch, int64_t, int64_t input_size, int qtype) {
  return batch == 1 && input_size % 4 == 0 && (qtype == qt::q4_0 || qtype == qt::q4_0_woq);
}

at::Tensor linear_xpu_forward_new(const at::Tensor& input, const at::Tensor& weight, int qtype, int64_t) {
  using namespace vorn::formats;
  const int64_t batch = input.size(0), in_features = input.size(1);
  const uint64_t weight_bytes = static_cast<uint64_t>(weight.size(0));
  // Codes without a forward are refused before any table is indexed or any size divided.
  TORCH_CHECK(qtype >= 0 && qtype < kQTypeCount && forward_fns_new[qtype] != nullptr && GGML_TYPE_SIZE[qtype] != 0,
              unsupported_qtype_message(qtype), " (forward_new has no linear forward for it)");
  TORCH_CHECK(in_features > 0, "in_features (input.size(1)) must be positive, got ", in_features);
  const uint64_t blocks = weight_bytes / GGML_TYPE_SIZE[qtype];
  const uint64_t elements = static_cast<uint64_t>(GGML_BLCK_SIZE[qtype]) * blocks;
  const auto out_features = static_cast<int64_t>(elements / static_cast<uint64_t>(in_features));
  const GpuType gpu = get_gpu_type(input.device());
  const LinearForwardTable& table = gpu == LEGACY ? forward_fns_new_dimla
                                    : gpu == SELUM ? forward_fns_new_32
                                                   : forward_fns_new;
  return table[qtype](input, weight, batch, in_features, out_features);
}
