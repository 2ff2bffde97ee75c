#include "linear/forward_tables.h"

#include "linear/q8_1_forwards.h"
#include "linear/xpu_forwards.h"

namespace {

namespace qt = vorn::formats::qtype;

struct Slot {
  int qtype;
  LinearForwardFn tavok;   // forward_fns_new: every class but SELUM and LEGACY
  LinearForwardFn selum;   // forward_fns_new_32
  LinearForwardFn legacy;  // forward_fns_new_dimla
};

// Every filled slot; the tables hold null elsewhere.
constexpr Slot kSlots[] = {
    {qt::q4_0, xpu_forward_q4_0_new<16, 32, 2>, xpu_forward_q4_0_new<32, 64, 2>, xpu_forward_q4_0_new<16, 32, 8>},
    {qt::q4_1, xpu_forward_q4_1_new<16, 32>, xpu_forward_q4_1_new<32, 64>, xpu_forward_q4_1_new<16, 32>},
    {qt::q5_0, xpu_forward_q5_0<16, 32>, xpu_forward_q5_0<32, 64>, xpu_forward_q5_0<16, 32>},
    {qt::q5_1, xpu_forward_q5_1<16, 32>, xpu_forward_q5_1<32, 64>, xpu_forward_q5_1<16, 32>},
    {qt::q8_0, xpu_forward_q8_0_new<16, 32>, xpu_forward_q8_0_new<32, 64>, xpu_forward_q8_0_new<16, 32>},
    {qt::nf4, xpu_forward_nf4_new<16, 32>, xpu_forward_nf4_new<32, 64>, xpu_forward_nf4_new<16, 32>},
    {qt::nf3, xpu_forward_nf3_new<16, 32>, xpu_forward_nf3_new<32, 64>, xpu_forward_nf3_new<16, 32>},
    {qt::fp8_e4m3, xpu_forward_fp8_e4m3<16, 32>, xpu_forward_fp8_e4m3<32, 64>, xpu_forward_fp8_e4m3<16, 32>},
    {qt::fp4, xpu_forward_fp4<16, 32>, xpu_forward_fp4<32, 64>, xpu_forward_fp4<16, 32>},
    {qt::fp8_e5m2, xpu_forward_fp8_e5m2<16, 32>, xpu_forward_fp8_e5m2<32, 64>, xpu_forward_fp8_e5m2<16, 32>},
    {qt::iq2_xxs, xpu_forward_iq2_xxs, xpu_forward_iq2_xxs, xpu_forward_iq2_xxs},
    {qt::q2_k, xpu_forward_q2_k, xpu_forward_q2_k, xpu_forward_q2_k},
    {qt::iq1_s, xpu_forward_iq1_s, xpu_forward_iq1_s, xpu_forward_iq1_s},
    {qt::q6_k, xpu_forward_q6_k<16, 32>, xpu_forward_q6_k<32, 64>, xpu_forward_q6_k<16, 32>},
    {qt::q4_k, xpu_forward_q4_k<16, 32>, xpu_forward_q4_k<32, 64>, xpu_forward_q4_k<16, 32>},
    {qt::q5_k, xpu_forward_q5_k, xpu_forward_q5_k, xpu_forward_q5_k},
    {qt::fp6, xpu_forward_fp6<16, 32>, xpu_forward_fp6<32, 64>, xpu_forward_fp6<16, 32>},
    {qt::fp6_k, xpu_forward_fp6_k<16, 32>, xpu_forward_fp6_k<32, 64>, xpu_forward_fp6_k<16, 32>},
    {qt::q4_0_woq, xpu_forward_q4_0_woq_new<16, 32, 2>, xpu_forward_q4_0_woq_new<32, 64, 2>,
     xpu_forward_q4_0_woq_new<16, 32, 8>},
};

template <LinearForwardFn Slot::*column>
LinearForwardTable table() {
  LinearForwardTable fns{};
  for (const Slot& slot : kSlots) fns[slot.qtype] = slot.*column;
  return fns;
}

}  // namespace

const LinearForwardTable forward_fns_new = table<&Slot::tavok>();
const LinearForwardTable forward_fns_new_32 = table<&Slot::selum>();
const LinearForwardTable forward_fns_new_dimla = table<&Slot::legacy>();
