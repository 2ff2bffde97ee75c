#pragma once
// The per-qtype tables of linear forwards, one per device-class group: the default table,
// the 32-lane table of class SELUM and the dimla table of class LEGACY. An empty slot is null.

#include <ATen/core/Tensor.h>

#include <array>
#include <cstdint>

#include "formats/qtype.h"

using LinearForwardFn = at::Tensor (*)(const at::Tensor& input, const at::Tensor& weight, int64_t batch,
                                       int64_t in_features, int64_t out_features);
using LinearForwardTable = std::array<LinearForwardFn, vorn::formats::kQTypeCount>;

extern const LinearForwardTable forward_fns_new;
extern const LinearForwardTable forward_fns_new_32;
extern const LinearForwardTable forward_fns_new_dimla;
