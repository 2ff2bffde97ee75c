#pragma once
// Device-scope relaxed atomic maximum on a float, as SYCL's atomic_ref<float>::fetch_max.

#include <cstdint>
#include <cstring>

namespace common_utils {

inline void atomic_fetch_max(float* address, float value) {
  auto* bits = reinterpret_cast<uint32_t*>(address);
  uint32_t seen = __atomic_load_n(bits, __ATOMIC_RELAXED);
  uint32_t wanted;
  std::memcpy(&wanted, &value, sizeof wanted);
  for (;;) {
    float current;
    std::memcpy(&current, &seen, sizeof current);
    if (!(value > current)) return;
    // On failure `seen` is reloaded with the value another work-group stored.
    if (__atomic_compare_exchange_n(bits, &seen, wanted, /*weak=*/true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) return;
  }
}

}  // namespace common_utils
