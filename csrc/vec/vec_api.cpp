#include "vec/vec_api.h"

#include <ATen/ops/empty.h>

#include <c10/util/Exception.h>

#include <limits>

#include "vec/vorn2.h"

namespace {

// The vector kernels take 32-bit sizes: larger ones would be narrowed to other sizes than the
// result's.
void check_sizes(int64_t in_features, int64_t out_features) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  TORCH_CHECK(in_features >= 0 && in_features <= kMax, "in_features (K) must lie in [0, 2^31), got ", in_features);
  TORCH_CHECK(out_features >= 0 && out_features <= kMax, "out_features (N) must lie in [0, 2^31), got ",
              out_features);
}

}  // namespace

at::Tensor linear_forward_vec(const at::Tensor& input, const at::Tensor& weight, int64_t in_features,
                              int64_t out_features, int qtype) {
  check_sizes(in_features, out_features);
  at::Tensor result = at::empty({1, out_features}, input.options());
  linear_forward_vorn2(input, weight, result, static_cast<int>(in_features), static_cast<int>(out_features), qtype);
  return result;
}

at::Tensor mlp_forward_vec(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                           int64_t in_features, int64_t out_features, int qtype) {
  check_sizes(in_features, out_features);
  at::Tensor result = at::empty({1, out_features}, input.options());
  mlp_forward_vorn2(input, weight1, weight2, result, static_cast<int>(in_features), static_cast<int>(out_features),
                    qtype);
  return result;
}
