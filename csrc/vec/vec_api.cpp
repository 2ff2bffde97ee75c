#include "vec/vec_api.h"

#include <ATen/ops/empty.h>

#include "vec/vorn2.h"

at::Tensor linear_forward_vec(const at::Tensor& input, const at::Tensor& weight, int64_t in_features,
                              int64_t out_features, int qtype) {
  at::Tensor result = at::empty({1, out_features}, input.options());
  linear_forward_vorn2(input, weight, result, static_cast<int>(in_features), static_cast<int>(out_features), qtype);
  return result;
}

at::Tensor mlp_forward_vec(const at::Tensor& input, const at::Tensor& weight1, const at::Tensor& weight2,
                           int64_t in_features, int64_t out_features, int qtype) {
  at::Tensor result = at::empty({1, out_features}, input.options());
  mlp_forward_vorn2(input, weight1, weight2, result, static_cast<int>(in_features), static_cast<int>(out_features),
                    qtype);
  return result;
}
