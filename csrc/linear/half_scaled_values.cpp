#include "linear/half_scaled_values.h"

#include <algorithm>
#include <type_traits>

#include "common/vector_clones.h"
#include "formats/formats.h"
#include "linear/fp6_half_groups.h"
#include "linear/group_scale.h"
#include "linear/half_rounding.h"

namespace vorn::kernels {

namespace {

// Blocks per pass over a run of weights.
template <class F>
constexpr int64_t kRunBlocks = std::max(1, 1024 / F::kBlock);

// fp6 and fp6_k from their code planes (fp6_half_groups.h), one scale per plane group; false
// where the machine lacks the extensions.
template <class F, class Out>
bool expand_fp6_planes(const formats::Packed<F>& packed, int64_t first, int64_t count, Out* out) {
  constexpr int kPlaneGroups = F::kBlock / F::kPlaneGroup;
  constexpr int64_t kRun = kRunBlocks<F>;
  float scales[kRun * kPlaneGroups];
  const uint8_t* p4 = packed.w + packed.at.p4(first);
  const uint8_t* p2 = packed.w + packed.at.p2(first);
  for (int64_t i = 0; i < count; i += kRun) {
    const int64_t blocks = std::min(kRun, count - i);
    for (int64_t b = 0; b < blocks; ++b) {
      const auto block = packed.block(first + i + b);
      for (int g = 0; g < kPlaneGroups; ++g) {
        scales[b * kPlaneGroups + g] = group_scale<F, unrounded_scale>(block, g * F::kPlaneGroup / F::kGroup);
      }
    }
    const int64_t group = i * kPlaneGroups;
    if (!scale_fp6_groups(p4 + 8 * group, p2 + 4 * group, scales, blocks * kPlaneGroups, out + i * F::kBlock)) {
      return false;
    }
  }
  return true;
}

}  // namespace

template <class F, class Out>
VORN_VECTOR_CLONES void expand_scaled_half_values(const formats::Packed<F>& packed, int64_t first, int64_t count,
                                                  Out* out) {
  constexpr int kGroups = F::kBlock / F::kGroup;
  constexpr int64_t kRun = kRunBlocks<F>;
  if constexpr (std::is_base_of_v<formats::Fp6Planes, F>) {
    if (expand_fp6_planes(packed, first, count, out)) return;
  }
  uint16_t values[kRun * F::kBlock];
  float scales[kRun * kGroups];
  for (int64_t i = 0; i < count; i += kRun) {
    const int64_t blocks = std::min(kRun, count - i);
    for (int64_t b = 0; b < blocks; ++b) {
      const auto block = packed.block(first + i + b);
      block.half_values(values + b * F::kBlock);
      for (int g = 0; g < kGroups; ++g) scales[b * kGroups + g] = group_scale<F, unrounded_scale>(block, g);
    }
    scale_half_groups(values, scales, F::kGroup, blocks * F::kBlock, out + i * F::kBlock);
  }
}

#define VORN_SCALED_HALF_VALUES(F)                                                                          \
  template void expand_scaled_half_values<formats::F>(const formats::Packed<formats::F>&, int64_t, int64_t, \
                                                      uint16_t*);                                           \
  template void expand_scaled_half_values<formats::F>(const formats::Packed<formats::F>&, int64_t, int64_t, float*);
VORN_SCALED_HALF_VALUES(Fp6)
VORN_SCALED_HALF_VALUES(Fp6K)
VORN_SCALED_HALF_VALUES(Fp8E4m3)

}  // namespace vorn::kernels
