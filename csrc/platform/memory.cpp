#include "platform/memory.h"

#include <cstdlib>
#include <list>
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

// Released huge blocks, oldest first.
class BlockCache {
 public:
  void* take(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
      if (it->bytes == bytes) {
        void* ptr = it->ptr;
        total_ -= bytes;
        blocks_.erase(it);
        return ptr;
      }
    }
    return nullptr;
  }
  // False when the block is not kept (the caller frees it).
  bool keep(void* ptr, size_t bytes) {
#ifdef VORN_SANITIZE
    (void)ptr;
    (void)bytes;
    return false;
#else
    if (bytes > kMaxCachedBytes) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    while (total_ + bytes > kMaxCachedBytes) {
      std::free(blocks_.front().ptr);
      total_ -= blocks_.front().bytes;
      blocks_.pop_front();
    }
    blocks_.push_back({ptr, bytes});
    total_ += bytes;
    return true;
#endif
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Block& b : blocks_) std::free(b.ptr);
    blocks_.clear();
    total_ = 0;
  }
  size_t total() {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
  }

 private:
  struct Block {
    void* ptr;
    size_t bytes;
  };
  std::mutex mutex_;
  std::list<Block> blocks_;
  size_t total_ = 0;
};

// Never destroyed: tensors may still be released while the process exits.
BlockCache& block_cache() {
  static BlockCache* cache = new BlockCache();
  return *cache;
}

// The bytes a block of nbytes takes: huge blocks are whole huge pages, on huge-page boundaries.
size_t block_bytes(size_t nbytes) {
  const size_t alignment = nbytes >= kHugePageBytes ? kHugePageBytes : kAllocationAlignment;
  return (nbytes + alignment - 1) / alignment * alignment;
}

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

size_t unregister_allocation(const void* ptr) {
  if (ptr == nullptr) return 0;
  std::unique_lock<std::shared_mutex> lock(registry_mutex);
  auto found = registry.find(reinterpret_cast<uintptr_t>(ptr));
  if (found == registry.end()) return 0;
  const size_t nbytes = found->second.nbytes;
#ifdef VORN_SANITIZE
  set_poison(found->first, found->second, false);  // the host allocator owns these bytes again
#endif
  registry.erase(found);
  return nbytes;
}

void* allocate(int device_index, size_t nbytes) {
  if (nbytes == 0) return nullptr;
  const size_t bytes = block_bytes(nbytes);
  const bool huge = nbytes >= kHugePageBytes;
  void* ptr = huge ? block_cache().take(bytes) : nullptr;
  if (ptr == nullptr) {
    const size_t alignment = huge ? kHugePageBytes : kAllocationAlignment;
    ptr = std::aligned_alloc(alignment, bytes);
    if (ptr == nullptr && block_cache().total() > 0) {
      block_cache().clear();
      ptr = std::aligned_alloc(alignment, bytes);
    }
    if (ptr == nullptr) throw std::bad_alloc();
    // Weights are streamed once per token: huge pages spare the TLB misses of 4 KiB pages.
    if (huge) madvise(ptr, bytes, MADV_HUGEPAGE);
  }
  register_allocation(device_index, ptr, nbytes);
  return ptr;
}

void release(void* ptr) {
  if (ptr == nullptr) return;
  const size_t nbytes = unregister_allocation(ptr);
  if (nbytes < kHugePageBytes || !block_cache().keep(ptr, block_bytes(nbytes))) std::free(ptr);
}

size_t cached_bytes() { return block_cache().total(); }
void empty_cache() { block_cache().clear(); }

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
