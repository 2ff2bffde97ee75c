#pragma once
// Matmul primitive creation with a per-thread least-recently-used cache keyed by the problem
// shape. One cache per (weight layout, element types, attribute-hook type) and device.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <oneapi/dnnl/dnnl.hpp>

#include "dnnl_utils/lru_cache.h"
#include "dnnl_utils/primitive_ext.h"
#include "platform/device.h"

namespace dnnl_utils {

enum class trans_type_t : int { nn = 0, nt = 1 };

enum class bias_type_t : int { none = 0, scalar = 1, m = 2, n = 3, mn = 4 };

// Source, destination and bias share the first type; the weights are the second. Values
// below 6 are reserved: this library builds no primitive for them.
enum class joint_dtypes_t : int { f16_f8_e5m2 = 6, bf16_f8_e5m2 = 7, f16_f8_e4m3 = 8, bf16_f8_e4m3 = 9 };

constexpr size_t kPrimitiveCacheCapacity = 512;

struct matmul_strides {
  std::vector<int64_t> src, weights, dst;
};

template <trans_type_t Trans>
matmul_strides get_strides(int64_t lda, int64_t ldb, int64_t ldc) {
  if constexpr (Trans == trans_type_t::nn) return {{lda, 1}, {ldb, 1}, {ldc, 1}};
  else return {{lda, 1}, {1, ldb}, {ldc, 1}};
}

// The cache key: source and weight strides, m, n, k, bias type, the caller's key, 1.
std::vector<int64_t> concat(const matmul_strides& strides, int64_t m, int64_t n, int64_t k, bias_type_t bias,
                            int64_t key_value);

// Builds the primitive for a cache miss; `attr` has been through the caller's hook.
primitive_ext make_matmul_primitive(joint_dtypes_t dtypes, bias_type_t bias, int64_t m, int64_t n, int64_t k,
                                    const matmul_strides& strides, dnnl::engine& engine,
                                    const dnnl::primitive_attr& attr);

// The engine of `device_id`, with the engine manager's checks on the index.
dnnl::engine& engine_of(int device_id);

template <trans_type_t Trans, joint_dtypes_t Dtypes, typename Hook>
struct create_matmul {
  using cache = lru_cache<std::vector<int64_t>, primitive_ext>;

  static std::array<cache, hostxpu::kMaxDevices>& mappings() {
    thread_local std::array<cache, hostxpu::kMaxDevices> caches;
    return caches;
  }

  static primitive_ext& call(bias_type_t bias, int m, int n, int k, int64_t lda, int64_t ldb, int64_t ldc,
                             int device_id, Hook& attr_hook, int key_value) {
    // Ids without a device never reach a cache: the engine lookup rejects them first.
    dnnl::engine& engine = engine_of(device_id);
    cache& entries = mappings()[device_id];
    if (entries.capacity() == 0) entries.resize(kPrimitiveCacheCapacity);
    const matmul_strides strides = get_strides<Trans>(lda, ldb, ldc);
    const std::vector<int64_t> key = concat(strides, m, n, k, bias, key_value);
    if (primitive_ext* hit = entries.find(key)) return *hit;
    dnnl::primitive_attr attr;
    attr_hook(attr);
    return entries.insert(key, make_matmul_primitive(Dtypes, bias, m, n, k, strides, engine, attr));
  }
};

// A ready matmul primitive for the problem, from the calling thread's cache. `attr_hook` runs
// on a fresh primitive_attr only when a primitive is made; for one key it must always set the
// same attributes. `key_value` only distinguishes cache entries; `extra` has no effect (it
// keeps the signature callers of other builds use).
template <typename Hook>
primitive_ext& dnnlMatmulCreatePrimitive(joint_dtypes_t dtypes, trans_type_t trans, bias_type_t bias, int m, int n,
                                         int k, int64_t lda, int64_t ldb, int64_t ldc, int device_id,
                                         Hook attr_hook, int key_value, int extra) {
  (void)extra;
#define VORN_MATMUL_CASE(D)                                                                          \
  case joint_dtypes_t::D:                                                                            \
    return trans == trans_type_t::nn                                                                 \
               ? create_matmul<trans_type_t::nn, joint_dtypes_t::D, Hook>::call(                     \
                     bias, m, n, k, lda, ldb, ldc, device_id, attr_hook, key_value)                  \
               : create_matmul<trans_type_t::nt, joint_dtypes_t::D, Hook>::call(                     \
                     bias, m, n, k, lda, ldb, ldc, device_id, attr_hook, key_value);
  switch (dtypes) {
    VORN_MATMUL_CASE(f16_f8_e5m2)
    VORN_MATMUL_CASE(bf16_f8_e5m2)
    VORN_MATMUL_CASE(f16_f8_e4m3)
    VORN_MATMUL_CASE(bf16_f8_e4m3)
  }
#undef VORN_MATMUL_CASE
  throw std::invalid_argument("dnnlMatmulCreatePrimitive: no primitive for joint_dtypes_t " +
                              std::to_string(static_cast<int>(dtypes)));
}

}  // namespace dnnl_utils
