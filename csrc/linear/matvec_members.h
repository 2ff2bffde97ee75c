#pragma once
// The members of the matrix-vector kernel family: which weights one work-item (lane) combines,
// in which order, and how its partial sum meets the block's scales.
//
// A lane takes kLaneWeights weights of one row per step. Lanes share a unit of kUnit
// consecutive weights of the row (kUnit / kLaneWeights lanes per unit):
//   halves: lane u of a unit alternates between the unit's two halves, weights
//           h*kUnit/2 + (kLaneWeights/2)*u + t for t = 0, 1, ... and h = 0, 1 (h innermost);
//   run:    lane u takes the consecutive weights kLaneWeights*u + 0, 1, ...
// Every lane's weights share one scale group, so its sum s (products of value and activation,
// added in that order from 0) is scaled once by the member's combine(). Where a lane's order
// within its 16 weights is not fixed by the layout (the run members of nf3, fp6, fp6_k, q6_k,
// q4_0_woq), it is weight order.
//
// Rows are runs of the flat packed stream, so a unit must not straddle two rows: K must be a
// multiple of kUnit (64 for the members whose lanes alternate between block halves, 32 for
// q4_k, 16 or 8 for the run members). K = 1040 therefore works for q4_0_woq, nf3, fp6, fp6_k
// and q6_k, and is refused with a clear message for q4_0, whose lanes would otherwise take
// weights of the next row and activations past the end of x.

#include <array>
#include <cstdint>

#include "formats/formats.h"
#include "linear/element_math.h"

namespace vorn::kernels {

enum class LaneOrder { halves, run };

// What a lane multiplies: the unscaled value of a weight, or the decoded weight in T.
enum class LaneValue { value, decoded };

template <class Format, int LaneWeights, int Unit, LaneOrder Order, LaneValue Value = LaneValue::value>
struct MemberShape {
  using F = Format;
  static constexpr int kLaneWeights = LaneWeights;
  static constexpr int kUnit = Unit;
  static constexpr LaneOrder kOrder = Order;
  static constexpr LaneValue kValue = Value;
  static constexpr bool kNeedsActivationSums = false;
  // SUB_BLK_H: the weights one lane reads per row and step, which K must be a multiple of;
  // 0 for the q5 members (two weights per step), which check only whole units.
  static constexpr int kSubBlock = LaneWeights > 2 ? LaneWeights : 0;
  static_assert(Format::kBlock % Unit == 0 && Unit % LaneWeights == 0, "a unit holds whole lanes");

  // A lane's value of weight j of block b, in the arithmetic A.
  template <class A>
  static typename A::C lane_value(const typename F::Block& b, int j) {
    if constexpr (Value == LaneValue::value) {
      return A::from(b.value(j));  // int32_t for the integer formats, float for the others
    } else {
      return decoded_weight<A, F>(b, j);
    }
  }
};

// The Params of the members below keep their per-unit values in `fields`, and state their
// combine once, over an arithmetic Ar and values V: one lane (V = A::C), or a vector of lanes
// whose fields were gathered from their units (word_lanes.h).

// acc += s * d: the scale of the lane's group.
template <class Format, int LaneWeights, int Unit, LaneOrder Order>
struct ScaledMember : MemberShape<Format, LaneWeights, Unit, Order> {
  template <class A>
  struct Params {
    using C = typename A::C;
    static constexpr int kFields = 1;  // d
    std::array<C, kFields> fields{};
    Params() = default;
    Params(const typename Format::Block& b, int j) : fields{A::from(b.scale(j / Format::kGroup))} {}
    template <class Ar, class V>
    static V combine(V acc, V s, V, const std::array<V, kFields>& f) {
      return Ar::add(acc, Ar::mul(s, f[0]));
    }
    C combine(C acc, C s, C sx) const { return combine<A>(acc, s, sx, fields); }
  };
};

// acc += s: the weights carry no scale (fp8_e5m2), or the products used decoded weights.
template <class Format, int LaneWeights, int Unit, LaneOrder Order, LaneValue Value = LaneValue::value>
struct UnscaledMember : MemberShape<Format, LaneWeights, Unit, Order, Value> {
  template <class A>
  struct Params {
    using C = typename A::C;
    static constexpr int kFields = 0;
    std::array<C, kFields> fields{};
    Params() = default;
    Params(const typename Format::Block&, int) {}
    template <class Ar, class V>
    static V combine(V acc, V s, V, const std::array<V, kFields>&) {
      return Ar::add(acc, s);
    }
    C combine(C acc, C s, C sx) const { return combine<A>(acc, s, sx, fields); }
  };
};

// q4_1: acc += s * d + sx * m, sx the sum of the lane's activations, added in the order of s.
struct Q4_1Member : MemberShape<formats::Q4_1, 16, 64, LaneOrder::halves> {
  static constexpr bool kNeedsActivationSums = true;
  template <class A>
  struct Params {
    using C = typename A::C;
    static constexpr int kFields = 2;  // d, m
    std::array<C, kFields> fields{};
    Params() = default;
    Params(const F::Block& b, int) : fields{A::from(b.d), A::from(b.m)} {}
    template <class Ar, class V>
    static V combine(V acc, V s, V sx, const std::array<V, kFields>& f) {
      return Ar::add(acc, Ar::add(Ar::mul(s, f[0]), Ar::mul(sx, f[1])));
    }
    C combine(C acc, C s, C sx) const { return combine<A>(acc, s, sx, fields); }
  };
};

// q4_k: acc += s * (d * sc) - sx * (dmin * mn), with the lane's 32-weight sub-block.
struct Q4KMember : MemberShape<formats::Q4K, 16, 32, LaneOrder::halves> {
  static constexpr bool kNeedsActivationSums = true;
  template <class A>
  struct Params {
    using C = typename A::C;
    static constexpr int kFields = 2;  // d * sc, dmin * mn
    std::array<C, kFields> fields{};
    Params() = default;
    Params(const F::Block& b, int j)
        : fields{A::mul(A::from(b.d), A::from(float(b.sc(j / 32)))),
                 A::mul(A::from(b.dmin), A::from(float(b.mn(j / 32))))} {}
    template <class Ar, class V>
    static V combine(V acc, V s, V sx, const std::array<V, kFields>& f) {
      return Ar::add(acc, Ar::sub(Ar::mul(s, f[0]), Ar::mul(sx, f[1])));
    }
    C combine(C acc, C s, C sx) const { return combine<A>(acc, s, sx, fields); }
  };
};

// q6_k: acc += d * s * sc, with the lane's 16-weight group.
struct Q6KMember : MemberShape<formats::Q6K, 16, 16, LaneOrder::run> {
  template <class A>
  struct Params {
    using C = typename A::C;
    static constexpr int kFields = 2;  // d, sc
    std::array<C, kFields> fields{};
    Params() = default;
    Params(const F::Block& b, int j) : fields{A::from(b.d), A::from(float(b.sc[j / 16]))} {}
    template <class Ar, class V>
    static V combine(V acc, V s, V, const std::array<V, kFields>& f) {
      return Ar::add(acc, Ar::mul(Ar::mul(f[0], s), f[1]));
    }
    C combine(C acc, C s, C sx) const { return combine<A>(acc, s, sx, fields); }
  };
};

namespace members {
using Q4_0 = ScaledMember<formats::Q4_0, 16, 64, LaneOrder::halves>;
using Q4_0Woq = ScaledMember<formats::Q4_0Woq, 16, 16, LaneOrder::run>;
using Q4_1 = Q4_1Member;
// nf4 keeps weight j (high nibble of byte j) with activation j: the same weights as q4_0.
using Nf4 = ScaledMember<formats::Nf4, 16, 64, LaneOrder::halves>;
using Nf3 = ScaledMember<formats::Nf3, 16, 16, LaneOrder::run>;
using Fp4 = ScaledMember<formats::Fp4, 16, 64, LaneOrder::halves>;
using Fp6 = ScaledMember<formats::Fp6, 16, 16, LaneOrder::run>;
using Q8_0 = ScaledMember<formats::Q8_0, 8, 8, LaneOrder::run>;
using Fp8E4m3 = ScaledMember<formats::Fp8E4m3, 8, 8, LaneOrder::run>;
using Fp8E5m2 = UnscaledMember<formats::Fp8E5m2, 8, 8, LaneOrder::run>;
using Q4K = Q4KMember;
using Q6K = Q6KMember;
// fp6_k's group scale is d * sc rounded to binary16 (the format's scale()).
using Fp6K = ScaledMember<formats::Fp6K, 16, 16, LaneOrder::run>;
// q5: 32 lanes share a block, two weights each (positions u and u + 32); a work-group of W
// lanes takes W/32 blocks per step (two for W = 64, one for W = 32, so that a 32-wide group
// covers every block of the row). When a row has an odd number of blocks (K/64 odd) its last
// step holds one block, taken by lanes 0..31 alone: no lane reads past its row.
using Q5_0 = ScaledMember<formats::Q5_0, 2, 64, LaneOrder::halves>;
// q5_1 multiplies each activation by the decoded weight q * d + m.
using Q5_1 = UnscaledMember<formats::Q5_1, 2, 64, LaneOrder::halves, LaneValue::decoded>;
// The by-batch members: the reference's weights, decoded once for two activation rows.
using Q4_0ByBatch = UnscaledMember<formats::Q4_0, 16, 64, LaneOrder::halves, LaneValue::decoded>;
using Nf4ByBatch = UnscaledMember<formats::Nf4, 16, 64, LaneOrder::halves, LaneValue::decoded>;
}  // namespace members

}  // namespace vorn::kernels
