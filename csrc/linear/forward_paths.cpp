#include "linear/forward_paths.h"

#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

#include "formats/qtype.h"
#include "linear/weight_checks.h"

namespace vorn::linear {

at::Tensor checked_input(const at::Tensor& input, const at::Tensor& weight, int64_t batch, int64_t K,
                         int64_t N, int qtype, int sub_block) {
  using namespace formats;
  TORCH_CHECK(input.dim() == 2 && input.size(0) == batch && input.size(1) == K, "input must be a [", batch, ", ",
              K, "] tensor, got ", input.sizes());
  TORCH_CHECK(input.is_xpu(), "input must be a XPU tensor");
  TORCH_CHECK(batch != 1 || sub_block == 0 || K % sub_block == 0, K, " must be a multiple of ", sub_block);
  check_packed_weight(weight);
  TORCH_CHECK(weight.device() == input.device(), "weight (", weight.device(), ") and input (", input.device(),
              ") must be on the same device");
  TORCH_CHECK(weight.is_contiguous(), "weight must be contiguous");
  TORCH_CHECK(K > 0 && N >= 0 && N <= std::numeric_limits<int64_t>::max() / K, "in_features (K) ", K,
              " and out_features (N) ", N, " do not describe a weight matrix");
  const int64_t weights = N * K, block = GGML_BLCK_SIZE[qtype];
  TORCH_CHECK(weights % block == 0, "a [", N, ", ", K, "] ", qtype_name(qtype), " matrix is not a whole number of ",
              block, "-weight blocks");
  const int64_t bytes = weights / block * static_cast<int64_t>(GGML_TYPE_SIZE[qtype]);
  TORCH_CHECK(weight.numel() >= bytes, "weight holds ", weight.numel(), " bytes; a [", N, ", ", K, "] ",
              qtype_name(qtype), " matrix needs ", bytes);
  TORCH_CHECK(!qtype_is_planar(qtype) || weights <= std::numeric_limits<int32_t>::max(), "a ", qtype_name(qtype),
              " weight of ", N, " x ", K, " weights exceeds the 2^31 weights its 32-bit region offsets address");
  return input.contiguous();
}

int64_t tile_threshold() {
  const char* value = std::getenv("TILE_THRESHOLD");
  return value ? std::stoll(value) : 50000;
}

uint64_t tile_size() {
  const char* value = std::getenv("TILE_SIZE");
  return value ? std::stoull(value) : 4096;
}

bool low_memory() {
  const char* value = std::getenv("LUMORA_LOW_MEM");
  return value && std::stoll(value) == 1;
}

void unsupported_input_dtype() { throw std::runtime_error("Unsupported input dtype, only fp32 and fp16 are supported"); }

}  // namespace vorn::linear
