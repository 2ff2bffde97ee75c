#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/stream.h"

// Enqueues dst[(i mod rows) * cols + i / rows] = src[i] for every i < rows * cols: one
// work-group of `rows` work-items per column of dst. Values are fp16 bit patterns.
void transpose_scale_kernel(hostxpu::queue& q, const uint16_t* src, uint16_t* dst, size_t rows, size_t cols);
