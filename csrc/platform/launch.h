#pragma once
// Kernel launch on the host platform.
//
// A kernel body is a work-group function: it is called once per work-group with the group's id
// and its local memory, and loops over the group's work-items itself. Barriers are the
// boundaries between the phases of that loop. Work-groups run in parallel on PyTorch's intra-op
// thread pool. Explicit-SIMD kernels use the same launch with one work-item per work-group.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/device.h"

namespace hostxpu {

struct nd_range {
  int dims = 1;  // 1 to 3
  std::array<size_t, 3> global{1, 1, 1};
  std::array<size_t, 3> local{1, 1, 1};

  nd_range() = default;
  nd_range(size_t global0, size_t local0) : dims(1), global{global0, 1, 1}, local{local0, 1, 1} {}
  nd_range(std::array<size_t, 2> g, std::array<size_t, 2> l)
      : dims(2), global{g[0], g[1], 1}, local{l[0], l[1], 1} {}
  nd_range(std::array<size_t, 3> g, std::array<size_t, 3> l) : dims(3), global(g), local(l) {}

  size_t groups(int d) const { return global[d] / local[d]; }
  size_t group_count() const { return groups(0) * groups(1) * groups(2); }
  size_t local_size() const { return local[0] * local[1] * local[2]; }
};

// What a work-group function sees. Dimension 0 varies slowest, as in SYCL's linearisation.
struct work_group {
  std::array<size_t, 3> id;  // group id per dimension
  size_t linear_id;
  const nd_range* range;
  void* local_memory;  // local_memory_bytes of the launch, uninitialised, private to the group
  // Unique per launch: lets a pool thread prepare launch-wide data once and reuse it for every
  // group of the launch it runs (what a GPU would stage once per work-group).
  uint64_t launch_serial;

  size_t local_size() const { return range->local_size(); }
  size_t local_range(int d) const { return range->local[d]; }
  size_t group_range(int d) const { return range->groups(d); }
  template <typename T>
  T* local_as() const {
    return static_cast<T*>(local_memory);
  }
};

struct kernel_desc {
  std::string name;
  nd_range range;
  int required_sub_group_size = 0;  // 0: none required
  size_t local_memory_bytes = 0;
};

// A non-owning reference to a callable, so that launching allocates nothing for the body.
class work_group_fn {
 public:
  template <typename F,
            typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, work_group_fn>>>
  work_group_fn(F&& f)  // NOLINT: implicit by design
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* object, const work_group& g) { (*static_cast<std::decay_t<F>*>(object))(g); }) {}
  void operator()(const work_group& g) const { call_(object_, g); }

 private:
  void* object_;
  void (*call_)(void*, const work_group&);
};

// Throws std::invalid_argument, naming the kernel, for a range the device cannot run: a zero
// or non-dividing local size, a work-group above the device maximum, an unsupported required
// sub-group size, a local-memory request above the device's local memory.
void validate_launch(const device& dev, const kernel_desc& desc);

// Validates, records in the launch trace, then runs every work-group before returning.
void launch(const device& dev, int64_t stream_id, const kernel_desc& desc, work_group_fn body);

constexpr size_t kLocalMemoryBytes = 128 * 1024;

}  // namespace hostxpu
