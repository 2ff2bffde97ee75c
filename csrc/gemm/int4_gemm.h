#pragma once
// The q4_0_woq product through oneDNN: y = x . W^T with W the packed 4-bit weight, each weight
// (code - 8) * scale of its 64-weight block, decompressed in f16.

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>

#include "device/gpu_type.h"
#include "platform/stream.h"

// input [M, K] fp16; weight the packed q4_0_woq bytes. Returns [M, N] in the input's type on
// the weight's device. `gpu` has no effect.
at::Tensor run_linear_woq(at::Tensor input, at::Tensor weight, GpuType gpu);

// Reorders the block scales into this device's scale buffer (grown as needed), then the GEMM.
void linear_xpu_forward_onednn_s4_gemm(void* input, void* weight, void* output, size_t M, size_t K, size_t N,
                                       hostxpu::queue& q);

void dnnl_s4_gemm(hostxpu::queue& q, int64_t M, int64_t N, int64_t K, uint8_t* input, uint8_t* weight,
                  uint8_t* output, uint8_t* scales);

// Bytes of the scale buffer of `device` (0 before its first GEMM).
size_t s4_gemm_scale_buffer_bytes(int device);
