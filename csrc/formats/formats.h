#pragma once
// Every format decoder, and the one switch that turns a qtype into its decoder type.

#include <stdexcept>

#include "formats/interleaved_iq.h"
#include "formats/interleaved_k.h"
#include "formats/interleaved_q5.h"
#include "formats/moe_fp8.h"
#include "formats/planar_4bit.h"
#include "formats/planar_8bit.h"
#include "formats/planar_fp6.h"
#include "formats/planar_k.h"
#include "formats/planar_nf3.h"
#include "formats/qtype.h"

namespace vorn::formats {

template <class F>
struct FormatTag {
  using type = F;
};

// Calls fn(FormatTag<F>{}) with the decoder type F of `qtype`; throws std::invalid_argument
// "unsupported qtype: <code>" for a code without a format.
template <class Fn>
decltype(auto) with_format(int qtype, Fn&& fn) {
  switch (qtype) {
    case qtype::q4_0: return fn(FormatTag<Q4_0>{});
    case qtype::q4_1: return fn(FormatTag<Q4_1>{});
    case qtype::q5_0: return fn(FormatTag<Q5_0>{});
    case qtype::q5_1: return fn(FormatTag<Q5_1>{});
    case qtype::q8_0: return fn(FormatTag<Q8_0>{});
    case qtype::nf4: return fn(FormatTag<Nf4>{});
    case qtype::nf3: return fn(FormatTag<Nf3>{});
    case qtype::fp8_e4m3: return fn(FormatTag<Fp8E4m3>{});
    case qtype::fp4: return fn(FormatTag<Fp4>{});
    case qtype::fp8_e5m2: return fn(FormatTag<Fp8E5m2>{});
    case qtype::iq2_xxs: return fn(FormatTag<Iq2Xxs>{});
    case qtype::q2_k: return fn(FormatTag<Q2K>{});
    case qtype::iq1_s: return fn(FormatTag<Iq1S>{});
    case qtype::q6_k: return fn(FormatTag<Q6K>{});
    case qtype::q4_k: return fn(FormatTag<Q4K>{});
    case qtype::q5_k: return fn(FormatTag<Q5K>{});
    case qtype::fp6: return fn(FormatTag<Fp6>{});
    case qtype::fp6_k: return fn(FormatTag<Fp6K>{});
    case qtype::q4_0_woq: return fn(FormatTag<Q4_0Woq>{});
    case qtype::moe_fp8_e5m2: return fn(FormatTag<MoeFp8E5m2>{});
    case qtype::moe_fp8_e4m3: return fn(FormatTag<MoeFp8E4m3>{});
    default: throw std::invalid_argument(unsupported_qtype_message(qtype));
  }
}

}  // namespace vorn::formats
