#include "linear/half_scaled_values.h"

#include <algorithm>

#include "common/vector_clones.h"
#include "formats/formats.h"
#include "linear/group_scale.h"
#include "linear/half_rounding.h"

namespace vorn::kernels {

template <class F, class Out>
VORN_VECTOR_CLONES void expand_scaled_half_values(const formats::Packed<F>& packed, int64_t first, int64_t count,
                                                  Out* out) {
  constexpr int kGroups = F::kBlock / F::kGroup;
  constexpr int64_t kRun = std::max(1, 1024 / F::kBlock);  // blocks per pass of the multiplication
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
