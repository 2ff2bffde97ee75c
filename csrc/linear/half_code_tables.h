#pragma once
// The one-scale 4-bit formats (q4_0, q4_0_woq, q4_1, nf4, fp4) expanded in fp16 arithmetic with
// the binary16 instructions of AVX512-FP16: each block's 16 weights, one per code, come from one
// binary16 multiply (and add, for q4_1's offset) of a vector, and the block's codes pick them with
// one word permute per 32 weights. Same bits as expand_blocks' fp16 arithmetic (a NaN becomes
// 0x7e00 with its sign there too), in a fraction of the instructions.

#include <cstdint>

#include "formats/format_base.h"

namespace vorn::kernels {

// Blocks first .. first + count - 1 of F to out[0 .. count * F::kBlock - 1], as binary16 bits
// (Out = uint16_t) or as their fp32 values (Out = float), where the machine has AVX512-FP16; else
// false, and nothing is written. half_levels: the format's 16 levels rounded to binary16, as fp32.
template <class F, class Out>
bool expand_half_code_tables(const formats::Packed<F>& packed, const float* half_levels, int64_t first, int64_t count,
                             Out* out);

}  // namespace vorn::kernels
