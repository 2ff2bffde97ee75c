#pragma once
// Checks shared by the host entries that read packed weights: they keep every kernel inside
// the weight tensor it was given.

#include <ATen/core/Tensor.h>

#include <cstdint>

namespace vorn {

// A packed weight: a contiguous one-dimensional uint8 tensor at a 4-byte aligned address.
void check_packed_weight(const at::Tensor& weight, const char* name = "weight");

// The rows of a [rows, K] matrix of `qtype` that the weight's bytes hold (the count rounds
// down); rejects a code without a format, K <= 0, and planar matrices whose N*K reaches 2^31.
int64_t packed_rows(const at::Tensor& weight, int qtype, int64_t K);

}  // namespace vorn
