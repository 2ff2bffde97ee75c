#pragma once
// One block encoder per format, the quantizers' counterpart of F::Block. Each takes the
// kBlock weights of block `blk` and writes that block's fields into the packed matrix `out`.

#include <cstdint>

#include "formats/formats.h"

namespace vorn::formats {

template <class F>
void encode_block(const typename F::Layout& at, uint8_t* out, int64_t blk, const float* x);

// quantize_integer.cpp
template <>
void encode_block<Q4_0>(const Q4_0::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Q4_0Woq>(const Q4_0Woq::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Q4_1>(const Q4_1::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Q5_0>(const Q5_0::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Q5_1>(const Q5_1::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Q8_0>(const Q8_0::Layout&, uint8_t*, int64_t, const float*);
// quantize_levels.cpp
template <>
void encode_block<Nf4>(const Nf4::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Nf3>(const Nf3::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Fp4>(const Fp4::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Fp6>(const Fp6::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Fp8E4m3>(const Fp8E4m3::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Fp8E5m2>(const Fp8E5m2::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<MoeFp8E5m2>(const MoeFp8E5m2::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<MoeFp8E4m3>(const MoeFp8E4m3::Layout&, uint8_t*, int64_t, const float*);
// quantize_superblock.cpp
template <>
void encode_block<Q2K>(const Q2K::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Q4K>(const Q4K::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Q5K>(const Q5K::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Q6K>(const Q6K::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Fp6K>(const Fp6K::Layout&, uint8_t*, int64_t, const float*);
// quantize_lattice.cpp
template <>
void encode_block<Iq2Xxs>(const Iq2Xxs::Layout&, uint8_t*, int64_t, const float*);
template <>
void encode_block<Iq1S>(const Iq1S::Layout&, uint8_t*, int64_t, const float*);

}  // namespace vorn::formats
