#pragma once
// RWKV operators: the version-4 and version-5 attention recurrences, which update the caller's
// state tensors in place, and token-shift mixing.

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

at::Tensor rwkv_linear_attention_v4(at::Tensor time_decay, at::Tensor time_first, at::Tensor key,
                                    at::Tensor value, at::Tensor num_state, at::Tensor den_state,
                                    at::Tensor max_state);
at::Tensor rwkv_linear_attention_v5(at::Tensor time_decay, at::Tensor time_first, at::Tensor receptance,
                                    at::Tensor key, at::Tensor value, at::Tensor state);
at::Tensor rwkv_time_shift(at::Tensor hidden, at::Tensor shifted, at::Tensor mix);

// The kernel of each element type: fp32 and fp16. Any other type throws std::runtime_error.
using attention_v4_fn = void (*)(const at::Tensor& time_decay, const at::Tensor& time_first,
                                 const at::Tensor& key, const at::Tensor& value, const at::Tensor& result,
                                 const at::Tensor& num_state, const at::Tensor& den_state,
                                 const at::Tensor& max_state, int64_t B, int64_t T, int64_t C,
                                 const c10::Device& device);
using time_shift_fn = void (*)(const at::Tensor& hidden, const at::Tensor& shifted, const at::Tensor& mix,
                               const at::Tensor& result, int64_t M, int64_t B, int64_t T, int64_t C,
                               const c10::Device& device);
attention_v4_fn dispatch_helper_v4(c10::ScalarType type);
time_shift_fn time_shift_dispatch_helper(c10::ScalarType type);
