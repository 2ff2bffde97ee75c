#pragma once
// Entry functions of the mixture of experts.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <vector>

// [slots, tokens]: for each expert e, the slot index j and the row i of every topk_ids[i, j] == e,
// in row-major order. topk_ids is an int32 [rows, cols] tensor readable by the host.
std::vector<std::vector<std::vector<int>>> get_moe_indexes(const at::Tensor& topk_ids, int num_experts);

// One token: sum over its slots of eweights[t] * down_e(SiLU(gate_e(x)) * up_e(x)); [1, H].
at::Tensor moe_forward_vec(const at::Tensor& input, const at::Tensor& topk_ids, const at::Tensor& eweights,
                           const at::Tensor& gate_weight_ptrs, const at::Tensor& up_weight_ptrs,
                           const at::Tensor& down_weight_ptrs, int64_t hidden_size, int64_t intermediate_size,
                           int64_t qtype);

// Many tokens with fused gate-up expert matrices: one weighted row per slot; [S, H].
at::Tensor moe_forward_vec_batch_fused_gate_up(const at::Tensor& input, const at::Tensor& topk_ids,
                                               const at::Tensor& eweights, const at::Tensor& gate_up_weight_ptrs,
                                               const at::Tensor& down_weight_ptrs, int64_t hidden_size,
                                               int64_t intermediate_size, int64_t top_k, int64_t qtype,
                                               int64_t act_type);

// As above with one-byte FP8 expert weights (codes 35, 36) and one fp32 scale per expert matrix.
at::Tensor moe_forward_vec_batch_fused_gate_up_fp8(const at::Tensor& input, const at::Tensor& topk_ids,
                                                   const at::Tensor& eweights, const at::Tensor& gate_up_weight_ptrs,
                                                   const at::Tensor& gate_up_scale_ptrs,
                                                   const at::Tensor& down_weight_ptrs,
                                                   const at::Tensor& down_scale_ptrs, int64_t hidden_size,
                                                   int64_t intermediate_size, int64_t top_k, int64_t qtype,
                                                   int64_t act_type);
