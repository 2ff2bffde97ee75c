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

// Host buffers that become device memory without a copy (results of host fallback kernels).
void register_allocation(int device_index, const void* ptr, size_t nbytes);
void unregister_allocation(const void* ptr);

// True when [address, address + nbytes) lies inside one live allocation of the device.
bool is_live_range(int device_index, uint64_t address, size_t nbytes);
size_t live_allocation_count();

}  // namespace hostxpu
