#pragma once
// Device-level mixture-of-experts forwards: check, allocate the per-slot buffers, launch the up
// and the down kernel.

#include <ATen/core/Tensor.h>

#include <cstdint>

at::Tensor moe_forward_vorn2(const at::Tensor& input, const at::Tensor& topk_ids, const at::Tensor& eweights,
                             const at::Tensor& gate_weight_ptrs, const at::Tensor& up_weight_ptrs,
                             const at::Tensor& down_weight_ptrs, int64_t hidden_size, int64_t intermediate_size,
                             int64_t qtype);

at::Tensor moe_forward_batch_fused_gate_up_vorn2(const at::Tensor& input, const at::Tensor& topk_ids,
                                                 const at::Tensor& eweights, const at::Tensor& gate_up_weight_ptrs,
                                                 const at::Tensor& down_weight_ptrs, int64_t hidden_size,
                                                 int64_t intermediate_size, int64_t top_k, int64_t qtype,
                                                 int64_t act_type);

at::Tensor moe_forward_batch_fused_gate_up_fp8_vorn2(
    const at::Tensor& input, const at::Tensor& topk_ids, const at::Tensor& eweights,
    const at::Tensor& gate_up_weight_ptrs, const at::Tensor& gate_up_scale_ptrs, const at::Tensor& down_weight_ptrs,
    const at::Tensor& down_scale_ptrs, int64_t hidden_size, int64_t intermediate_size, int64_t top_k, int64_t qtype,
    int64_t act_type);
