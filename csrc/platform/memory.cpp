#include "platform/memory.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>

#include <sys/mman.h>

#ifdef VORN_SANITIZE
#include <sanitizer/asan_interface.h>
#endif

namespace hostxpu {
namespace {

constexpr size_t kHugePageBytes = 2 << 20;

struct Allocation {
  size_t nbytes;
  int device_index;
};

std::shared_mutex registry_mutex;
std::map<uintptr_t, Allocation> registry;  // keyed by start address

#ifdef VORN_SANITIZE
// Open device_access scopes, under registry_mutex: memory is readable while one is open.
int open_scopes = 0;

void set_poison(uintptr_t start, const Allocation& a, bool poisoned) {
  if (poisoned) {
    ASAN_POISON_MEMORY_REGION(reinterpret_cast<void*>(start), a.nbytes);
  } else {
    ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(start), a.nbytes);
  }
}

void set_poison_all(bool poisoned) {
  for (const auto& [start, allocation] : registry) set_poison(start, allocation, poisoned);
}
#endif

}  // namespace

void register_allocation(int device_index, const void* ptr, size_t nbytes) {
  if (ptr == nullptr) return;
  std::unique_lock<std::shared_mutex> lock(registry_mutex);
  registry[reinterpret_cast<uintptr_t>(ptr)] = {nbytes, device_index};
#ifdef VORN_SANITIZE
  if (open_scopes == 0) set_poison(reinterpret_cast<uintptr_t>(ptr), {nbytes, device_index}, true);
#endif
}

void unregister_allocation(const void* ptr) {
  if (ptr == nullptr) return;
  std::unique_lock<std::shared_mutex> lock(registry_mutex);
  auto found = registry.find(reinterpret_cast<uintptr_t>(ptr));
  if (found == registry.end()) return;
#ifdef VORN_SANITIZE
  set_poison(found->first, found->second, false);  // the host allocator owns these bytes again
#endif
  registry.erase(found);
}

void* allocate(int device_index, size_t nbytes) {
  if (nbytes == 0) return nullptr;
  const bool huge = nbytes >= kHugePageBytes;
  const size_t alignment = huge ? kHugePageBytes : kAllocationAlignment;
  const size_t rounded = (nbytes + alignment - 1) / alignment * alignment;
  void* ptr = std::aligned_alloc(alignment, rounded);
  if (ptr == nullptr) throw std::bad_alloc();
  // Weights are streamed once per token: huge pages spare the TLB misses of 4 KiB pages.
  if (huge) madvise(ptr, rounded, MADV_HUGEPAGE);
  register_allocation(device_index, ptr, nbytes);
  return ptr;
}

void release(void* ptr) {
  unregister_allocation(ptr);
  std::free(ptr);
}

bool is_live_range(int device_index, uint64_t address, size_t nbytes) {
  std::shared_lock<std::shared_mutex> lock(registry_mutex);
  auto it = registry.upper_bound(static_cast<uintptr_t>(address));
  if (it == registry.begin()) return false;
  --it;
  const uint64_t start = it->first;
  const Allocation& a = it->second;
  return a.device_index == device_index && address - start <= a.nbytes &&
         nbytes <= a.nbytes - (address - start);
}

#ifdef VORN_SANITIZE
device_access::device_access() {
  std::unique_lock<std::shared_mutex> lock(registry_mutex);
  if (open_scopes++ == 0) set_poison_all(false);
}

device_access::~device_access() {
  std::unique_lock<std::shared_mutex> lock(registry_mutex);
  if (--open_scopes == 0) set_poison_all(true);
}
#endif

size_t live_allocation_count() {
  std::shared_lock<std::shared_mutex> lock(registry_mutex);
  return registry.size();
}

}  // namespace hostxpu
