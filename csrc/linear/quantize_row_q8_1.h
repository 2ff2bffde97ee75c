#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>

// Quantizes the first rows * K activations of `input` (read in row-major order) into a new
// one-dimensional uint8 tensor of (rows * K / 32) block_q8_1 blocks on input's device. K must be
// a multiple of 32, so that each row is a whole number of blocks.
at::Tensor quantize_row_q8_1(const at::Tensor& input, int64_t rows, int64_t K);
