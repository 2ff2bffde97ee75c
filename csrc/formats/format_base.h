#pragma once
// What every format decoder shares, so that kernel templates can be parameterised over a format.
//
// A format F provides:
//   F::kQtype, F::kBlock (weights per block), F::kGroup (weights sharing one scale),
//   F::kScaling: how a value becomes a weight (none: value; scale: value * scale(g);
//                scale_offset: value * scale(g) + offset(g)),
//   F::Layout(nk):        byte offsets of a block's fields in a matrix of nk = N*K weights
//                         (planar formats derive their region offsets from nk in 32 bits),
//   F::Block(w, at, blk): one block of a packed matrix with its scales read once:
//       code(j)   the stored code of weight j (0 <= j < kBlock; the lattice formats
//                 instead expose their grid indices and words),
//       value(j)  its unscaled value, exact in fp32 (an integer for the integer formats),
//       scale(g), offset(g) for the group g = j / kGroup,
//       weight(j) the fp32 weight in the arithmetic the format's rule names,
//   F::Fields and F::store(w, at, blk, fields): the inverse of Block, used by the quantizers.

#include <cstdint>

namespace vorn::formats {

enum class Scaling { none, scale, scale_offset };

// The per-block scale fields of the planar formats, stored block after block in one region from
// at.scales(0): kFields values of kType per block (fp16 bits or fp32), the order of Block's.
enum class FieldType { f16, f32 };
template <FieldType Type, int Fields>
struct ScaleRun {
  static constexpr FieldType kType = Type;
  static constexpr int kFields = Fields;
  static constexpr int kBytes = Fields * (Type == FieldType::f16 ? 2 : 4);
};

// A packed matrix of format F.
template <class F>
struct Packed {
  const uint8_t* w;
  typename F::Layout at;

  Packed(const uint8_t* weight, int32_t nk) : w(weight), at(nk) {}
  typename F::Block block(int64_t blk) const { return typename F::Block(w, at, blk); }
};

// Writes the fp32 weights j0 .. j0 + count - 1 of one block.
template <class F>
void decode_run(const typename F::Block& b, int j0, int count, float* out) {
  for (int j = 0; j < count; ++j) out[j] = b.weight(j0 + j);
}

// Layout of the formats whose blocks are self-contained, stored back to back.
template <int kBytes>
struct InterleavedLayout {
  explicit InterleavedLayout(int32_t) {}
  int64_t block(int64_t blk) const { return kBytes * blk; }
};

}  // namespace vorn::formats
