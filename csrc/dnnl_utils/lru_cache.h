#pragma once
// A least-recently-used map with a capacity: the store of the per-thread primitive caches.

#include <cstddef>
#include <cstdint>
#include <list>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

namespace dnnl_utils {

// Hash of a key vector: the length as seed, then each element folded in order.
struct key_hash {
  size_t operator()(const std::vector<int64_t>& key) const {
    uint64_t seed = key.size();
    for (int64_t x : key) {
      seed ^= static_cast<uint64_t>(x) + 0x9e3779b9ull + (seed << 6) + (seed >> 2);
    }
    return static_cast<size_t>(seed);
  }
};

template <typename Key, typename Value, typename Hash = key_hash>
class lru_cache {
 public:
  using node = std::pair<Key, Value>;

  size_t size() const { return nodes_.size(); }
  size_t capacity() const { return capacity_; }

  // The value stored under `key`, now the most recently used; nullptr when absent.
  Value* find(const Key& key) {
    auto found = index_.find(key);
    if (found == index_.end()) return nullptr;
    nodes_.splice(nodes_.begin(), nodes_, found->second);
    return &found->second->second;
  }

  // Stores `value` under `key` unless the key is present; returns the stored value.
  Value& insert(const Key& key, Value value) {
    if (capacity_ == 0) throw std::logic_error("lru_cache: insert into a cache of capacity 0");
    auto found = index_.find(key);
    if (found != index_.end()) return found->second->second;
    nodes_.emplace_front(key, std::move(value));
    index_.emplace(key, nodes_.begin());
    evict_to(capacity_);
    return nodes_.front().second;
  }

  void resize(size_t capacity) {
    capacity_ = capacity;
    evict_to(capacity_);
  }

 private:
  void evict_to(size_t capacity) {
    while (nodes_.size() > capacity) {
      index_.erase(nodes_.back().first);
      nodes_.pop_back();
    }
  }

  size_t capacity_ = 0;
  std::list<node> nodes_;
  std::unordered_map<Key, typename std::list<node>::iterator, Hash> index_;
};

}  // namespace dnnl_utils
