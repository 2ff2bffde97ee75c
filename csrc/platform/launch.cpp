#include "platform/launch.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <vector>

#include "common/streaming_stores.h"
#include "platform/float_environment.h"
#include "platform/memory.h"
#include "platform/trace.h"

namespace hostxpu {
namespace {

std::string describe(const nd_range& range) {
  auto dims = [&](const std::array<size_t, 3>& v) {
    std::string text = "{";
    for (int d = 0; d < range.dims; ++d) text += (d ? ", " : "") + std::to_string(v[d]);
    return text + "}";
  };
  return "global " + dims(range.global) + ", local " + dims(range.local);
}

[[noreturn]] void reject(const kernel_desc& desc, const std::string& why) {
  throw std::invalid_argument("kernel '" + desc.name + "' cannot launch with " +
                              describe(desc.range) + ": " + why);
}

}  // namespace

void validate_launch(const device& dev, const kernel_desc& desc) {
  const nd_range& r = desc.range;
  if (r.dims < 1 || r.dims > 3) reject(desc, "an nd-range has 1 to 3 dimensions");
  for (int d = 0; d < r.dims; ++d) {
    if (r.local[d] == 0) reject(desc, "local size 0 in dimension " + std::to_string(d));
    if (r.global[d] % r.local[d] != 0) {
      reject(desc, "global size is not a multiple of local size in dimension " + std::to_string(d));
    }
  }
  if (r.local_size() > dev.max_work_group_size()) {
    reject(desc, "work-group size " + std::to_string(r.local_size()) + " exceeds the device maximum " +
                     std::to_string(dev.max_work_group_size()));
  }
  if (desc.required_sub_group_size != 0) {
    const auto& sizes = dev.sub_group_sizes();
    if (std::find(sizes.begin(), sizes.end(), desc.required_sub_group_size) == sizes.end()) {
      reject(desc, "required sub-group size " + std::to_string(desc.required_sub_group_size) +
                       " is not supported by the device");
    }
  }
  if (desc.local_memory_bytes > kLocalMemoryBytes) {
    reject(desc, "local memory of " + std::to_string(desc.local_memory_bytes) +
                     " bytes exceeds the device's " + std::to_string(kLocalMemoryBytes));
  }
}

void launch(const device& dev, int64_t stream_id, const kernel_desc& desc, work_group_fn body) {
  validate_launch(dev, desc);
  const nd_range& r = desc.range;
  record_launch({desc.name, r.dims, r.global, r.local, desc.required_sub_group_size,
                 desc.local_memory_bytes, dev.index(), stream_id});

  const size_t groups0 = r.groups(0), groups1 = r.groups(1), groups2 = r.groups(2);
  const size_t local_bytes = desc.local_memory_bytes;
  static std::atomic<uint64_t> launches{0};
  const uint64_t serial = ++launches;
  auto run_groups = [&](int64_t begin, int64_t end) {
    // Local memory lives per pool thread and is reused by every group that thread runs.
    thread_local std::vector<unsigned char> local_memory;
    if (local_memory.size() < local_bytes) local_memory.resize(local_bytes);
    const IeeeFloatScope ieee_arithmetic;
    work_group group{{0, 0, 0}, 0, &r, local_memory.data(), serial};
    // Groups run with dimension 0 varying fastest: in a 2-D launch whose dimension 0 takes
    // activation rows (or slots), the groups that read the same weight rows run back to back on
    // one thread, which then reads those rows from its cache.
    for (int64_t position = begin; position < end; ++position) {
      const size_t p = static_cast<size_t>(position);
      group.id = {p % groups0, (p / groups0) % groups1, p / (groups0 * groups1)};
      group.linear_id = (group.id[0] * groups1 + group.id[1]) * groups2 + group.id[2];
      body(group);
    }
    common_utils::streaming_store_fence();  // a completed launch's writes are all visible
  };
  const int64_t count = static_cast<int64_t>(r.group_count());
  device_access scope;
  if (count == 1) {
    run_groups(0, 1);  // the common tiny launch skips the pool's hand-off
  } else if (count > 1) {
    at::parallel_for(0, count, 1, run_groups);
  }
}

}  // namespace hostxpu
