#include "formats/qtype.h"

#include <stdexcept>

namespace vorn::formats {
namespace {

// Format name per code; null where the code has no format.
constexpr const char* kNames[kQTypeCount] = {
    nullptr, nullptr, "q4_0",     "q4_1",         nullptr,       nullptr,   "q5_0",  "q5_1",
    "q8_0",  nullptr, "nf4",      "nf3",          nullptr,       nullptr,   nullptr, "fp8_e4m3",
    "fp4",   nullptr, nullptr,    "fp8_e5m2",     nullptr,       "iq2_xxs", nullptr, "q2_k",
    "iq1_s", nullptr, "q6_k",     "q4_k",         "q5_k",        "fp6",     "fp6_k", nullptr,
    nullptr, nullptr, "q4_0_woq", "moe_fp8_e5m2", "moe_fp8_e4m3"};

bool in_range(int qtype) { return qtype >= 0 && qtype < kQTypeCount; }

}  // namespace

const char* qtype_name(int qtype) {
  if (!in_range(qtype)) return "invalid";
  return kNames[qtype] ? kNames[qtype] : "none";
}

bool qtype_has_format(int qtype) { return in_range(qtype) && kNames[qtype] != nullptr; }

bool qtype_is_planar(int qtype) {
  switch (qtype) {
    case qtype::q4_0:
    case qtype::q4_1:
    case qtype::q8_0:
    case qtype::nf4:
    case qtype::nf3:
    case qtype::fp8_e4m3:
    case qtype::fp4:
    case qtype::fp8_e5m2:
    case qtype::q6_k:
    case qtype::q4_k:
    case qtype::fp6:
    case qtype::fp6_k:
    case qtype::q4_0_woq: return true;
    default: return false;
  }
}

std::string unsupported_qtype_message(int qtype) {
  return "unsupported qtype: " + std::to_string(qtype);
}

int64_t packed_bytes(int qtype, int64_t n, int64_t k) {
  if (!qtype_has_format(qtype)) throw std::invalid_argument(unsupported_qtype_message(qtype));
  return n * k / GGML_BLCK_SIZE[qtype] * int64_t(GGML_TYPE_SIZE[qtype]);
}

}  // namespace vorn::formats
