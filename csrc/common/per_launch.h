#pragma once
// Launch-wide data that a kernel derives from its operands (an activation row in the layout its
// work-groups read, for instance): built by the first work-group a pool thread runs for a launch
// and reused by the thread's other groups of that launch. It must be built inside device work,
// where device memory may be read, not by the launching host code.

#include <cstdint>
#include <optional>

namespace vorn::kernels {

// build() for the launch `launch` (a work_group's launch_serial), once per pool thread.
template <class Data, class Build>
const Data& per_launch(uint64_t launch, const Build& build) {
  struct Cached {
    uint64_t launch = 0;  // serials start at 1
    std::optional<Data> data;
  };
  // One per pool thread, kept for the thread's life: a thread_local object with a destructor,
  // reached from the flattened AVX-512 builds, was destroyed twice at thread exit.
  thread_local Cached* cache = nullptr;
  if (cache == nullptr) cache = new Cached();
  if (cache->launch != launch) {
    cache->data.emplace(build());
    cache->launch = launch;
  }
  return *cache->data;
}

}  // namespace vorn::kernels
