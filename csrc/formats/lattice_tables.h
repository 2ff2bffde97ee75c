#pragma once
// Lattice tables of the i-formats. Their definitions are generated at build time from data/
// by gen_tables.py, which checks the files' sha256 sums first.

#include <cstdint>

namespace vorn::formats {

// Eight unsigned magnitudes (8, 25 or 43) per entry, byte 0 for the first of eight weights.
extern const uint64_t iq2xxs_grid[256];

// Entry s = s | (parity(s) << 7): bit t set means weight t of eight is negative.
extern const uint8_t ksigns_iq2xs[128];

// Eight values in 0..2 per entry: low nibbles of bytes 0..3 are weights 0..3, high nibbles
// weights 4..7.
extern const uint32_t iq1s_grid[2048];

}  // namespace vorn::formats
