#pragma once
// The codes of a 16-weight group whose bits lie in a few words, all 16 at once, one per lane of
// the compiler's vector extension, so that a bulk decoder vectorises in every build:
// - a plane group (q6_k, fp6, fp6_k): 6-bit codes whose low four bits lie in one 8-byte word of a
//   4-bit plane and whose top two bits lie in one 4-byte word of a 2-bit plane, weight jj at bits
//   P::p4_bit(jj) and P::p2_bit(jj);
// - a split group (nf3): 3-bit codes whose top bit lies in one 16-bit word and whose low two bits
//   lie in one 32-bit word, weight jj at bits S::high_bit(jj) and S::low_bit(jj).

#include <cstdint>
#include <utility>

#include "formats/bytes.h"

namespace vorn::formats {

namespace plane_detail {

template <class P, std::size_t... J>
[[gnu::always_inline]] inline u32x16 group_codes(const uint8_t* p2, const uint8_t* p4, std::index_sequence<J...>) {
  // Broadcasts and a select: lanes gathered one by one would pass through memory.
  const u32x16 low = u32x16{} + load_u32(p4), high = u32x16{} + load_u32(p4 + 4), top = u32x16{} + load_u32(p2);
  const i32x16 in_high = {(P::p4_bit(J) >= 32 ? -1 : 0)...};
  const u32x16 nibble_shifts = {uint32_t(P::p4_bit(J) % 32)...};
  const u32x16 top_shifts = {uint32_t(P::p2_bit(J))...};
  const u32x16 nibble_words = in_high ? high : low;
  return ((nibble_words >> nibble_shifts) & 15) | ((top >> top_shifts) & 3) << 4;
}

template <class S, std::size_t... J>
[[gnu::always_inline]] inline u32x16 split_codes(uint32_t high, uint32_t low, std::index_sequence<J...>) {
  const u32x16 high_shifts = {uint32_t(S::high_bit(J))...};
  const u32x16 low_shifts = {uint32_t(S::low_bit(J))...};
  return ((u32x16{} + high) >> high_shifts & 1) << 2 | ((u32x16{} + low) >> low_shifts & 3);
}

}  // namespace plane_detail

// Lane jj: the code of weight jj of the group whose plane words start at p2 and p4.
template <class P>
[[gnu::always_inline]] inline u32x16 plane_group_codes(const uint8_t* p2, const uint8_t* p4) {
  static_assert(P::kPlaneGroup == 16, "16 weights per plane group");
  return plane_detail::group_codes<P>(p2, p4, std::make_index_sequence<16>());
}

// Lane jj: the code of weight jj of the split group with words high and low.
template <class S>
[[gnu::always_inline]] inline u32x16 split_group_codes(uint32_t high, uint32_t low) {
  static_assert(S::kSplitGroup == 16, "16 weights per split group");
  return plane_detail::split_codes<S>(high, low, std::make_index_sequence<16>());
}

}  // namespace vorn::formats
