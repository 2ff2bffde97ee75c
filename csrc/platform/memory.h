#pragma once
// Device memory of the host platform: host memory, with a registry of live allocations so that
// host code can check a raw device address (for example one read from a table of expert weight
// addresses) before a kernel dereferences it.

#include <cstddef>
#include <cstdint>

namespace hostxpu {

constexpr size_t kAllocationAlignment = 64;

// Returns nullptr for 0 bytes; throws std::bad_alloc when memory is exhausted.
void* allocate(int device_index, size_t nbytes);
void release(void* ptr);

// Released blocks of 2 MiB and more are kept for reuse by allocations of the same size, as GPU
// runtimes' caching allocators do, up to kMaxCachedBytes in all (none in the sanitizer build,
// whose allocator must see every release).
constexpr size_t kMaxCachedBytes = size_t(2) << 30;
size_t cached_bytes();
void empty_cache();

// Host buffers that become device memory without a copy (results of host fallback kernels).
void register_allocation(int device_index, const void* ptr, size_t nbytes);
// Returns the bytes the allocation was registered with (0 for an unknown pointer).
size_t unregister_allocation(const void* ptr);

// True when [address, address + nbytes) lies inside one live allocation of the device.
bool is_live_range(int device_index, uint64_t address, size_t nbytes);
size_t live_allocation_count();

// Device work (a kernel launch, a host fallback operator, a copy, a oneDNN primitive) runs inside
// a device_access scope. In the sanitizer build (VORN_SANITIZE) device memory is poisoned outside
// every scope, so host code that dereferences a device pointer is reported by AddressSanitizer;
// elsewhere the scope costs nothing.
class device_access {
 public:
#ifdef VORN_SANITIZE
  device_access();
  ~device_access();
#else
  device_access() {}
#endif
  device_access(const device_access&) = delete;
  device_access& operator=(const device_access&) = delete;
};

}  // namespace hostxpu
