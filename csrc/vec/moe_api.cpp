#include "vec/moe_api.h"

#include <c10/util/Exception.h>

#include "vec/moe_vorn2.h"

std::vector<std::vector<std::vector<int>>> get_moe_indexes(const at::Tensor& topk_ids, int num_experts) {
  const int64_t rows = topk_ids.size(0), cols = topk_ids.size(1);
  std::vector<std::vector<int>> slots(num_experts), tokens(num_experts);
  if (rows >= 1 && cols >= 1) {
    // A contiguous host copy: the ids may live in device memory or be a strided view.
    const at::Tensor host = topk_ids.cpu().contiguous();
    TORCH_CHECK(host.numel() >= rows * cols, "topk_ids must hold its ", rows, " x ", cols, " ids, it holds ",
                host.numel());
    const int* ids = host.const_data_ptr<int>();
    for (int64_t i = 0; i < rows; ++i) {
      for (int64_t j = 0; j < cols; ++j) {
        const int e = ids[i * cols + j];
        TORCH_CHECK(e >= 0 && e < num_experts, "topk_ids[", i, ", ", j, "] = ", e, " is not an expert id in [0, ",
                    num_experts, ")");
        slots[e].push_back(static_cast<int>(j));
        tokens[e].push_back(static_cast<int>(i));
      }
    }
  }
  return {slots, tokens};
}

at::Tensor moe_forward_vec(const at::Tensor& input, const at::Tensor& topk_ids, const at::Tensor& eweights,
                           const at::Tensor& gate_weight_ptrs, const at::Tensor& up_weight_ptrs,
                           const at::Tensor& down_weight_ptrs, int64_t hidden_size, int64_t intermediate_size,
                           int64_t qtype) {
  return moe_forward_vorn2(input, topk_ids, eweights, gate_weight_ptrs, up_weight_ptrs, down_weight_ptrs, hidden_size,
                           intermediate_size, qtype);
}

at::Tensor moe_forward_vec_batch_fused_gate_up(const at::Tensor& input, const at::Tensor& topk_ids,
                                               const at::Tensor& eweights, const at::Tensor& gate_up_weight_ptrs,
                                               const at::Tensor& down_weight_ptrs, int64_t hidden_size,
                                               int64_t intermediate_size, int64_t top_k, int64_t qtype,
                                               int64_t act_type) {
  return moe_forward_batch_fused_gate_up_vorn2(input, topk_ids, eweights, gate_up_weight_ptrs, down_weight_ptrs,
                                               hidden_size, intermediate_size, top_k, qtype, act_type);
}

at::Tensor moe_forward_vec_batch_fused_gate_up_fp8(const at::Tensor& input, const at::Tensor& topk_ids,
                                                   const at::Tensor& eweights, const at::Tensor& gate_up_weight_ptrs,
                                                   const at::Tensor& gate_up_scale_ptrs,
                                                   const at::Tensor& down_weight_ptrs,
                                                   const at::Tensor& down_scale_ptrs, int64_t hidden_size,
                                                   int64_t intermediate_size, int64_t top_k, int64_t qtype,
                                                   int64_t act_type) {
  return moe_forward_batch_fused_gate_up_fp8_vorn2(input, topk_ids, eweights, gate_up_weight_ptrs, gate_up_scale_ptrs,
                                                   down_weight_ptrs, down_scale_ptrs, hidden_size, intermediate_size,
                                                   top_k, qtype, act_type);
}
