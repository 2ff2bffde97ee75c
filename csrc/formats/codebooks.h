#pragma once
// Value tables of the codebook formats.

namespace vorn::formats {

// NormalFloat-4 levels, indexed by the 4-bit code.
inline constexpr float dequantNF4[16] = {
    -1.0f,
    -0.6961928009986877f,
    -0.5250730514526367f,
    -0.39491748809814453f,
    -0.28444138169288635f,
    -0.18477343022823334f,
    -0.09105003625154495f,
    0.0f,
    0.07958029955625534f,
    0.16093020141124725f,
    0.24611230194568634f,
    0.33791524171829224f,
    0.44070982933044434f,
    0.5626170039176941f,
    0.7229568362236023f,
    1.0f,
};

// NormalFloat-3 levels, indexed by the 3-bit code.
inline constexpr float dequantNF3[8] = {
    -1.0f,
    -0.4786292016506195f,
    -0.217141792178154f,
    0.0f,
    0.16093020141124725f,
    0.33791524171829224f,
    0.5626170039176941f,
    1.0f,
};

// fp4 magnitudes by the 3-bit magnitude code. Code 0 stands for 2^-5: the format has no zero.
inline constexpr float kFp4Magnitude[8] = {0.03125f, 0.5f, 1.0f, 1.5f, 2.0f, 3.0f, 4.0f, 6.0f};

// iq1_s offset added to every grid value of a 32-weight group; index 0 when the group's sign
// flag (bit 15 of its qh word) is set.
inline constexpr float kIq1sDelta[2] = {-1.125f, -0.875f};

}  // namespace vorn::formats
