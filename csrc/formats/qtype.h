#pragma once
// Quantization type codes and the per-code block sizes that every qtype-indexed table shares.

#include <cstdint>
#include <string>

namespace vorn::formats {

inline constexpr int kQTypeCount = 37;

// Codes that carry a weight format.
namespace qtype {
inline constexpr int q4_0 = 2;
inline constexpr int q4_1 = 3;
inline constexpr int q5_0 = 6;
inline constexpr int q5_1 = 7;
inline constexpr int q8_0 = 8;
inline constexpr int nf4 = 10;
inline constexpr int nf3 = 11;
inline constexpr int fp8_e4m3 = 15;
inline constexpr int fp4 = 16;
inline constexpr int fp8_e5m2 = 19;
inline constexpr int iq2_xxs = 21;
inline constexpr int q2_k = 23;
inline constexpr int iq1_s = 24;
inline constexpr int q6_k = 26;
inline constexpr int q4_k = 27;
inline constexpr int q5_k = 28;
inline constexpr int fp6 = 29;
inline constexpr int fp6_k = 30;
inline constexpr int q4_0_woq = 34;
inline constexpr int moe_fp8_e5m2 = 35;  // one e5m2 byte per weight, mixture-of-experts path
inline constexpr int moe_fp8_e4m3 = 36;  // one e4m3 byte per weight, mixture-of-experts path
}  // namespace qtype

// Weights per block. Codes 9, 22 and 25 are sized but have no format.
inline constexpr int32_t GGML_BLCK_SIZE[kQTypeCount] = {
    0,  0, 64,  64,  0,   0,   64,  64,  64,  32,  64, 64,  0, 0, 0, 64, 64, 0, 0,
    64, 0, 256, 256, 256, 256, 256, 256, 256, 256, 64, 256, 0, 0, 0, 64, 64, 64};

// Bytes per block.
inline constexpr uint64_t GGML_TYPE_SIZE[kQTypeCount] = {
    0,  0, 34, 36, 0,  0,  44, 44,  68,  36,  34, 26,  0, 0, 0, 68, 34, 0, 0,
    68, 0, 66, 74, 84, 50, 56, 210, 148, 176, 50, 210, 0, 0, 0, 34, 64, 64};

// Name of a code for messages: the format's name, "none" for a code without a format, or
// "invalid" outside 0..36.
const char* qtype_name(int qtype);

// True when the code has a decoder and a quantizer in this layer.
bool qtype_has_format(int qtype);

// True for the planar formats, whose scale regions sit after all codes at offsets derived
// from N*K held in 32 bits (so N*K must stay below 2^31).
bool qtype_is_planar(int qtype);

// Bytes of a packed [n, k] matrix: (n*k / block size) * block bytes. Throws
// std::invalid_argument for a code without a format.
int64_t packed_bytes(int qtype, int64_t n, int64_t k);

// "unsupported qtype: <code>", the message every qtype-dispatching function uses.
std::string unsupported_qtype_message(int qtype);

}  // namespace vorn::formats
